"""Companion package of vorn_linear: host XPU platform controls, quantizers, demo.

``import vorn_linear`` loads the extension and installs the platform; the controls live in
``vorn.xpu``.
"""
