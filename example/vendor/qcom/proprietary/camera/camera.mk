# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
PRODUCT_PACKAGES += CameraHal
