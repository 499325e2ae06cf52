"""Stand-in application package: the built extension is linked in beside these modules."""
