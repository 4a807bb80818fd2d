"""Stand-in for pandas: start-up only binds it."""
