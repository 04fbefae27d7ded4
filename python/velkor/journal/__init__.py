"""The journal of a trading session: reading it, showing it, replaying it and verifying it.

``Trading(config, timeout, objects, journal=folder)`` writes one file per account and trading day into
``folder``; ``python -m velkor.journal show|replay|verify FILE`` reads one (see ``__main__``). The file
format is described in ``velkor.journal.format``.
"""

from .format import ABSENT, Exc, Journal, JournalError, Obj, Other, Record, Segment, read
from .replay import Difference, Replay, replay_segments

__all__ = ["ABSENT", "Exc", "Journal", "JournalError", "Obj", "Other", "Record", "Segment", "read", "Difference",
           "Replay", "replay_segments"]
