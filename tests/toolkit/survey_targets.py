"""Task functions for the worker-pool tests, importable by a fresh worker interpreter."""

import os
import signal
import time


def behave(payload):
    if payload == "die":
        os.kill(os.getpid(), signal.SIGKILL)
    if payload == "hang":
        time.sleep(60)
    if payload == "raise":
        raise ValueError("asked to fail")
    return payload * 2
