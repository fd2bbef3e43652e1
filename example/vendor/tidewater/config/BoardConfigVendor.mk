# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
TIDEWATER_BOARD := quillmere
