"""The rehearsal an operator runs first (scripts/demo): a whole run on the stand-in marketplace that
ends with every item's copies, the two missing titles marked, and no draft left."""

import glob
import os
import re
import shutil
import subprocess
import sys

import pandas as pd

from standin import harness

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_the_rehearsal_runs_to_its_end():
    # scripts/demo is set-up, then this; the tests already run on the set-up module.
    env = {k: v for k, v in os.environ.items() if k not in ("VANTREL_ORIGIN", "VANTREL_LOG")}
    demo = subprocess.run([sys.executable, os.path.join(REPO, "scripts", "demo.py"), "--port", str(harness.free_port())],
                          capture_output=True, text=True, timeout=300, env=env)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    assert demo.stderr == ""  # no warning, of ours or of a library's
    kept = re.search(r"^workbooks kept in (.+)$", demo.stdout, re.M)[1]
    try:
        [result] = glob.glob(os.path.join(kept, "commodity*res.xlsx"))
        table = pd.read_excel(result).set_index("name")
    finally:
        shutil.rmtree(kept)
    assert table[["amount", "added", "sign"]].to_dict("index") == {
        "复古黄铜台灯": {"amount": 2, "added": 2, "sign": 0},
        "Vintage Leather Wallet": {"amount": 1, "added": 1, "sign": 0},
        "竹编收纳篮 三件套": {"amount": 3, "added": 3, "sign": 0},
        "手工陶瓷茶壶": {"amount": 1, "added": 1, "sign": 0},
        "陶瓷花瓶": {"amount": 2, "added": 0, "sign": 2},  # on no page
        "竹编收纳篮": {"amount": 1, "added": 0, "sign": 1},  # only inside longer titles
    }
    assert demo.stdout.splitlines()[-2:] == ["drafts left: 0", f"workbooks kept in {kept}"]
