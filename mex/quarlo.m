% quarlo: help text follows.
