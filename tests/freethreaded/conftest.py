"""The runs in test_free_threaded_runs.py are for the free-threaded interpreter, which
test_free_threaded_interpreter.py builds and starts them in; each file is collected only where
it belongs."""

import pathlib
import sys
import sysconfig

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

if FREE_THREADED:
    collect_ignore = ["test_free_threaded_interpreter.py"]
    # Started with this folder as the conftest boundary: the fakes' folder is not on the path yet.
    sys.path.insert(0, str(pathlib.Path(__file__).parents[1]))
else:
    collect_ignore = ["test_free_threaded_runs.py"]
