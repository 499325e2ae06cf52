"""The demo application package: tools/main links the built extension in
beside these modules as tavrin/firebase<EXT_SUFFIX>."""
