% brindel: help text follows.
