"""Stand-in for Chrome options: start-up only binds the class."""


class Options:
    pass
