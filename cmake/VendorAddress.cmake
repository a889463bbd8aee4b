# The address of the vendor's release manifest: what the product fetches at start-up.
set(TALLYX_VENDOR_MANIFEST_URL "http://update.vantrel.fr/dl/tallyx.ver")
