"""Tuple values pass through every hand-over as themselves.

A tuple handed to a method call as its single argument must not be spread
into several arguments: results delivered to asyncio futures, values sent
into Level 1 coroutines and values resumed from futures.
"""

import asyncio
import concurrent.futures

import pytest

import _corvalune_sys as m

VALUES = [(), (1,), (1, 2), ((1, 2),)]


@pytest.mark.parametrize("value", VALUES)
def test_awaiting_a_callable_task_gives_the_tuple(value):
    async def main():
        return await m.spawn_callable(lambda: value)

    assert asyncio.run(main()) is value


class Wait:
    def __init__(self, fut):
        self.fut = fut

    def __await__(self):
        return (yield self.fut)


@pytest.mark.parametrize("value", VALUES)
def test_level1_resumes_with_the_tuple(value):
    fut = concurrent.futures.Future()
    fut.set_result(value)

    async def main():
        from_future = await Wait(fut)
        from_handle = await m.spawn_callable(lambda: value)
        return from_future, from_handle

    assert m.run_level1(main()) == (value, value)
