# The settings dialog over whatever store the case left (none, values of the
# wrong type, values out of range): what the dialog shows first, one change
# stored, and what the dialog shows then. A store the add-on cannot use
# must not cost the user a message box here: its values read as defaults
# and stay as they were until that very setting changes.
sample
answer dialog 32205 click 1
menu 32107
answer dialog 32205 check 4 off; click 1
menu 32107
answer dialog 32205 click 1
menu 32107
