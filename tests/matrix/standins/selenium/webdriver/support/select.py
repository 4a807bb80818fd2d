"""Stand-in for Select: start-up only binds the class."""


class Select:
    pass
