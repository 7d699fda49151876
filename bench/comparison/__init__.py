"""The parts of bench/run.py, one concern per module (see run.py's docstring)."""
