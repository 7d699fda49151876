"""The compatibility suite opens queue directories written by earlier builds
(fixtures/<commit>/) and by newer formats (newer/)."""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
