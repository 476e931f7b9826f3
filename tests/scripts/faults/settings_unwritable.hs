# A store the add-on cannot write: the first change in the dialog says so
# once, naming where the settings live; a second change does not repeat it.
sample
answer dialog 32205 check 2 off; check 4 off; click 1
answer msgbox ok
menu 32107
