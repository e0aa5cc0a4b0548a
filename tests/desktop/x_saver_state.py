#!/usr/bin/python3
"""Prints "on" when the X screen saver of $DISPLAY comes on after a 1 s idle
timeout, "off" when something (an inhibitor) keeps it off."""
import time

from Xlib import display

d = display.Display()
d.set_screen_saver(1, 1, 0, 0)  # timeout 1 s, no blanking preference
d.force_screen_saver(0)         # reset: the idle time starts now
d.sync()
time.sleep(1.8)
state = d.screen().root.screensaver_query_info().state
print('on' if state == 1 else 'off')
