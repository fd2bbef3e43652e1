PRODUCT_PACKAGES += PixelLauncher
