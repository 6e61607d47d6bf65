"""A payload list changed while it is converted behaves like iterating it.

The conversion of an exact list walks it index by index, reading its
length at every step: an element whose __index__ changes the list sees the
same effect as with the list's own iterator, and nothing reads past the end.
"""

import time

import _corvalune_sys as m


class Shrinks:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        del self.target[1:]  # drop every payload after the one being converted
        return 7


def test_a_list_shrinking_during_conversion_is_read_like_its_iterator():
    payloads = [[Shrinks(None)], b"abc", b"def", b"ghi"]
    payloads[0][0].target = payloads
    expected = [bytes([7])]  # the iterator stops once the list has shrunk
    b = m.batch_spawn_native_pipeline(payloads, 5)
    deadline = time.monotonic() + 30
    while not b.done():
        assert time.monotonic() < deadline
        time.sleep(0.001)
    assert b.result() == [m.native_pipeline_transform(p, 5) for p in expected]
