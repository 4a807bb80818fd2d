"""Stand-in for selenium.webdriver: start-up only binds it."""
