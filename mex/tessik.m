% tessik: help text follows.
