"""CPython's own executor, wait and as-completed tests, run against
corvalune.Executor, and its future tests against the executor's futures.

Usage: python run_executor_suite.py FOLDER, where FOLDER holds CPython's
test_concurrent_futures package (tools/provision-cpython-tests.sh).
"""

import sys
import threading
import unittest
from concurrent import futures

import test  # the standard library's test package: test.support

sys.modules.pop("test.test_concurrent_futures", None)
test.__path__.append(sys.argv[1])

from test.test_concurrent_futures import executor, test_as_completed, test_future, test_wait, util  # noqa: E402

import corvalune  # noqa: E402
from corvalune import _future  # noqa: E402


class CorvaluneMixin(util.ExecutorMixin):
    executor_type = corvalune.Executor

    def create_event(self):
        return threading.Event()


class CorvaluneExecutorTest(CorvaluneMixin, executor.ExecutorTest, util.BaseTestCase):
    pass


class CorvaluneWaitTest(CorvaluneMixin, test_wait.WaitTests, util.BaseTestCase):
    pass


class CorvaluneAsCompletedTest(CorvaluneMixin, test_as_completed.AsCompletedTests, util.BaseTestCase):
    pass


class CorvaluneFutureTest(test_future.FutureTests):
    """The stdlib's future tests, with every future they make one of the executor's
    (the states they set by hand included)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls._saved = {name: getattr(test_future, name) for name in dir(test_future) if name.endswith("FUTURE")}
        util.Future = test_future.Future = _future.Future
        for name in cls._saved:
            state = name.removesuffix("_FUTURE").replace("EXCEPTION", "FINISHED").replace("SUCCESSFUL", "FINISHED")
            model = cls._saved[name]
            setattr(test_future, name, util.create_future(getattr(test_future, state), model._exception,
                                                          model._result))

    @classmethod
    def tearDownClass(cls):
        util.Future = test_future.Future = futures.Future
        for name, future in cls._saved.items():
            setattr(test_future, name, future)
        super().tearDownClass()


if __name__ == "__main__":
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    for case in (CorvaluneExecutorTest, CorvaluneWaitTest, CorvaluneAsCompletedTest, CorvaluneFutureTest):
        suite.addTests(loader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
