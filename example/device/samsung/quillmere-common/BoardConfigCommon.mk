# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
TARGET_BOARD_PLATFORM := quillmere
