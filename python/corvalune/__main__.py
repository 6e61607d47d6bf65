"""Show the pool Corvalune starts on this machine."""

import time

import corvalune


def main() -> None:
    automatic = corvalune.default_worker_count()
    print(f"corvalune {corvalune.__version__}")
    print(f"automatic pool size on this machine: {automatic}")
    print(f"free-threaded interpreter: {corvalune.is_free_threaded()}")
    started = time.perf_counter()
    size = corvalune.configure()
    elapsed = (time.perf_counter() - started) * 1e3
    print(f"started the pool with {size} workers in {elapsed:.2f} ms "
          f"(worker_count() = {corvalune.worker_count()})")
    started = time.perf_counter()
    corvalune.shutdown()
    elapsed = (time.perf_counter() - started) * 1e3
    print(f"stopped it in {elapsed:.2f} ms")


if __name__ == "__main__":
    main()
