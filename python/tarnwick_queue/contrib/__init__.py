"""Adapters that let task frameworks use tarnwick queues as their broker.

Each submodule imports its framework, so importing `tarnwick_queue` never
needs one: install the extra (`tarnwick[dramatiq]`, `tarnwick[celery]`) and
import the submodule.
"""
