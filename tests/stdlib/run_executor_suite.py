"""CPython's own executor, wait and as-completed tests, run against
corvalune.Executor.

Usage: python run_executor_suite.py FOLDER, where FOLDER holds CPython's
test_concurrent_futures package (tools/provision-cpython-tests.sh).
"""

import sys
import threading
import unittest

import test  # the standard library's test package: test.support

sys.modules.pop("test.test_concurrent_futures", None)
test.__path__.append(sys.argv[1])

from test.test_concurrent_futures import executor, test_as_completed, test_wait, util  # noqa: E402

import corvalune  # noqa: E402


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


if __name__ == "__main__":
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    for case in (CorvaluneExecutorTest, CorvaluneWaitTest, CorvaluneAsCompletedTest):
        suite.addTests(loader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
