"""Stand-in for Selenium, for the start-up checks on interpreters that have none."""
