"""What every end-to-end script that starts the engine needs: a private
runtime folder whose path is short wherever the checkout lies (the control
channel's socket paths inside it must fit a Unix socket address), a private
home around it, and a wait for a started engine to serve its control channel."""
import atexit
import os
import shutil
import subprocess
import tempfile
import time

NOT_RUNNING = "Kaptora is not running"


def short_runtime_folder():
    """A fresh mode-0700 folder under /tmp, removed when the script ends."""
    folder = tempfile.mkdtemp(prefix="kp-run-", dir="/tmp")
    atexit.register(shutil.rmtree, folder, True)
    return folder


def private_home(home):
    """The environment of a user whose home, settings and state folders lie
    in `home`, with a fresh runtime folder."""
    return dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                XDG_STATE_HOME=os.path.join(home, "state"), XDG_RUNTIME_DIR=short_runtime_folder())


def wait_until_serving(command, env, timeout=10):
    """Retries `reload` (an unchanged settings file costs one read) until the
    engine stops answering "Kaptora is not running"; False when it still does
    after `timeout` seconds. `command` starts the program (a list)."""
    deadline = time.monotonic() + timeout
    while True:
        r = subprocess.run(command + ["reload"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, timeout=60)
        if NOT_RUNNING not in r.stderr.decode("utf-8", "replace"):
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
