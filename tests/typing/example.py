"""An example program using every function and class of Corvalune.

`make test` type-checks it with `mypy --strict`; it also runs.
"""

from __future__ import annotations

import asyncio

import corvalune
from corvalune import (
    BatchCallableTask,
    BatchNativeTask,
    CallableTask,
    CancellationToken,
    NativeTask,
    PanicInTask,
    RegisteredWorker,
    RegistrationError,
    TaskCancelled,
)


def square(x: int) -> int:
    return x * x


async def child() -> int:
    await asyncio.sleep(0)
    return 7


async def main() -> tuple[bytes, int, list[bytes], list[int]]:
    native: NativeTask = corvalune.spawn_native_pipeline(b"abc", rounds=10)
    digest: bytes = await native
    call: CallableTask[int] = corvalune.spawn_callable(square, (4,))
    value: int = await call
    batch: BatchNativeTask = corvalune.batch_spawn_native_pipeline([b"a", bytearray(b"b"), [1, 2]])
    digests: list[bytes] = await batch
    squares: BatchCallableTask[int] = corvalune.batch_spawn_callable(square, [(1,), (2,)])
    done, total = squares.progress()
    print(f"{done}/{total} squares, {batch.progress()[0]} digests")
    return digest, value, digests, await squares


def on_done(result: int | None, error: BaseException | None) -> None:
    if error is not None:
        print("coroutine failed:", error)


def run() -> None:
    print(corvalune.default_worker_count(), corvalune.worker_count(), corvalune.is_free_threaded())
    if corvalune.worker_count() is None:
        size: int = corvalune.configure(2)
        print("pool of", size)
    print(corvalune.native_pipeline_transform(b"abc").hex(), corvalune.__version__)
    print(asyncio.run(main()))
    print(corvalune.run(child()), corvalune.run(child(), level1=True), corvalune.run_level1(child()))

    token = CancellationToken()
    corvalune.spawn_coroutine(child(), on_done, token)
    token.cancel()
    try:
        token.throw_if_cancelled()
    except TaskCancelled:
        print("cancelled:", token.is_cancelled())

    handle = corvalune.spawn_callable(square, (3,))
    handle.add_done_callback(lambda: None)
    handle.add_done_callback(lambda h: print("done:", h.done()))

    worker: RegisteredWorker
    with corvalune.register_worker("bilingual") as worker:
        worker.run_one()
        worker.run_until_idle()
        print("worker", worker.worker_id())
    try:
        worker.run_one()
    except RegistrationError as exc:
        print(exc)

    with corvalune.Executor() as executor:
        print(executor.submit(square, 5).result(), list(executor.map(square, range(3))))

    # Isolated calls run in the workers' sub-interpreters: their functions
    # cross by reference, so they come from importable modules (this script
    # is __main__).
    magnitude: CallableTask[int] = corvalune.spawn_isolated(abs, (-3,))
    quotients: BatchCallableTask[tuple[int, int]] = corvalune.batch_spawn_isolated(divmod, [(7, 2), (9, 4)])
    while not (magnitude.done() and quotients.done()):
        pass
    print(magnitude.result(), quotients.result())
    with corvalune.InterpreterExecutor(initializer=abs, initargs=(1,)) as isolated:
        print(isolated.submit(pow, 2, 10).result(), list(isolated.map(abs, [-1, -2])))

    failing = corvalune.spawn_callable(square, (1, 2))
    while not failing.done():
        pass
    try:
        failing.result()
    except TypeError:
        pass
    except PanicInTask:
        raise
    corvalune.shutdown()


if __name__ == "__main__":
    run()
