"""Runs CPython's test_set, test_dict and test.mapping_tests with the four classes
in the built-in types' places, each class and suite in a child interpreter (so a
crash is reported as one). Exits 1 on a failure not in EXPECTED or a crash.

    TAVORIC_MODULE_DIR=build/main python tests/cpython_suites.py [-v] [-k TEXT]
"""

import argparse
import json
import os
import random
import subprocess
import sys
import types
import unittest

SETS = ("FunnelHashSet", "ElasticHashSet")
MAPS = ("FunnelHashMap", "ElasticHashMap")
loader = unittest.TestLoader()
SET_SUITES = ("test_set.TestSet", "test_set.values", "test_set.TestBinaryOpsMutating")
MAP_SUITES = ("mapping_tests.BasicTestMappingProtocol", "mapping_tests.TestMappingProtocol",
              "mapping_tests.TestHashMappingProtocol", "test_dict.DictTest")

# Tests of TestSet that build their own `set`s and never touch the class under test.
BUILTIN_ONLY = {"test_gc", "test_container_iterator", "test_set_literal", "test_set_literal_insertion_order",
                "test_set_literal_evaluation_order", "test_rich_compare", "test_set_membership",
                "test_unhashable_element"}
DICT_TESTS = ("test_constructor", "test_update_type_error", "test_keys_contained", "test_init_use_after_free",
              "test_reverse_iterator_for_empty_dict", "test_hash_collision_remove_add", "test_str_nonstr")

# Lasting differences: test (as Class.method of the defining class) -> why.
ANY_ITERABLE = "the operators take any iterable (README, differences from set)"
ORDERING = "ordering comparisons raise TypeError (README, differences from set)"
FINAL = "needs subclassing: the classes are final"
REPR = "repr shows the length and capacity, not the elements"
EXPECTED = {
    **dict.fromkeys([f"TestJointOps.test_{op}" for op in ("and", "or", "sub", "xor")], ANY_ITERABLE),
    **dict.fromkeys([f"TestOnlySetsInBinaryOps.test_{op}" for op in (
        "union", "intersection", "difference", "sym_difference", "update_operator",
        "intersection_update_operator", "difference_update_operator", "sym_difference_update_operator")],
        ANY_ITERABLE),
    "TestJointOps.test_sub_and_super": ORDERING,
    "TestSubsets.test_issubset": ORDERING,
    **dict.fromkeys([f"TestBinaryOpsMutating.test_{op}_with_mutation" for op in ("lt", "le", "gt", "ge")], ORDERING),
    # A hostile __eq__ clearing a set mid-operation meets the borrow flag, not "changed size".
    **dict.fromkeys([f"TestBinaryOpsMutating.test_{op}_with_mutation" for op in (
        "eq", "ne", "and", "or", "sub", "xor", "iadd", "ior", "isub", "ixor")],
        "re-entrant use is refused with RuntimeError('Already borrowed') (README)"),
    "TestJointOps.test_subclass_with_custom_hash": FINAL,
    "TestJointOps.test_free_after_iterating": FINAL,
    "TestMappingProtocol.test_fromkeys": FINAL,
    "TestHashMappingProtocol.test_fromkeys": FINAL,
    "TestJointOps.test_pickling": "instances have no __dict__ to carry attributes",
    "TestSet.test_weakref": "instances take no weak references",
    "TestJointOps.test_do_not_rehash_dict_keys": "elements from a dict or set are hashed again: "
                                                 "their stored hashes are CPython internals",
    "TestMappingProtocol.test_popitem": "each table has its own seed: two maps filled alike "
                                       "need not pop in the same order",
    **dict.fromkeys(["TestJointOps.test_cyclical_repr", "TestBasicOps.test_repr", "TestBasicOpsString.test_repr",
                     "TestBasicOpsBytes.test_repr", "TestBasicOpsMixedStringBytes.test_repr",
                     "TestHashMappingProtocol.test_repr", "TestHashMappingProtocol.test_repr_deep"], REPR),
}


def load(class_name, suite):
    """The test cases of one suite with the named class substituted."""
    import tavoric
    from test import mapping_tests, test_dict, test_set

    cls, names = getattr(tavoric, class_name), loader.getTestCaseNames
    module, _, case = suite.partition(".")
    if suite == "test_set.TestSet":
        cases = [type("TestSet", (test_set.TestSet,), {"thetype": cls, "basetype": cls})]
        names = lambda c: [n for n in loader.getTestCaseNames(c) if n not in BUILTIN_ONLY]
    elif suite == "test_set.values":
        def setUp(self):
            super(type(self), self).setUp()
            for name in ("set", "dup", "left", "right"):
                if isinstance(getattr(self, name, None), set):
                    setattr(self, name, cls(getattr(self, name)))
            assert isinstance(getattr(self, "set", getattr(self, "left", None)), cls), "no set to substitute"
        bases = (test_set.TestBasicOps, test_set.TestBinaryOps, test_set.TestUpdateOps, test_set.TestMutate,
                 test_set.TestCopying, test_set.TestOnlySetsInBinaryOps, test_set.TestSubsets)
        cases = [type(c.__name__, (c,), {"setUp": setUp}) for c in vars(test_set).values()
                 if isinstance(c, type) and issubclass(c, bases) and issubclass(c, unittest.TestCase)]
    elif suite == "test_set.TestBinaryOpsMutating":
        cases = [type(case, (test_set.TestBinaryOpsMutating, unittest.TestCase), {"constructor1": a, "constructor2": b})
                 for a, b in ((cls, cls), (cls, set), (set, cls))]
    elif module == "mapping_tests":
        cases = [type(case, (getattr(mapping_tests, case),), {"type2test": cls})]
    elif suite == "test_dict.DictTest":
        scope, methods = dict(vars(test_dict), dict=cls), {}
        for name in (*DICT_TESTS, "helper_keys_contained"):
            function = getattr(test_dict.DictTest, name)
            methods[name] = types.FunctionType(function.__code__, scope, name)
            methods[name].__qualname__ = function.__qualname__
        cases, names = [type("DictTest", (unittest.TestCase,), methods)], lambda c: list(DICT_TESTS)
    else:
        raise SystemExit(f"unknown suite {suite}")
    return unittest.TestSuite(case(name) for case in cases for name in names(case))


def child(class_name, suite):
    random.seed(0)  # TestBinaryOpsMutating draws its hostile elements at random
    # A test is named Class.method of the function it runs, shared by the cases that inherit it.
    key = lambda test: getattr(type(test), test._testMethodName).__qualname__  # noqa: E731
    tests, result, failed = load(class_name, suite), unittest.TestResult(), {}  # key -> first traceback
    names = {key(t) for t in tests}
    tests.run(result)
    bad = [(getattr(test, "test_case", test), text) for test, text in result.failures + result.errors]  # subtests
    for test, text in bad:
        failed.setdefault(key(test), text)
    passed = result.testsRun - len(result.skipped) - len({test.id() for test, _ in bad})
    print(json.dumps({"run": result.testsRun, "passed": passed, "names": sorted(names), "failed": failed}))


def run(class_name, suite, verbose):
    """Runs one class and suite in a child; returns (run, passed, unexpected, names run, names failed)."""
    try:
        proc = subprocess.run([sys.executable, "-X", "faulthandler", __file__, "--child", class_name, suite],
                              capture_output=True, text=True, timeout=900)
        report = json.loads(proc.stdout.strip().splitlines()[-1])
    except (subprocess.TimeoutExpired, IndexError, ValueError) as error:
        how = ("timed out after 900 s" if isinstance(error, subprocess.TimeoutExpired) else
               f"killed by signal {-proc.returncode}" if proc.returncode < 0 else f"exit {proc.returncode}")
        print(f"  {class_name} {suite}: CRASHED ({how})\n{'' if 'proc' not in locals() else proc.stderr[-4000:]}")
        return 0, 0, 1, set(), set()
    failed, passed = report["failed"], report["passed"]
    unexpected = sorted(set(failed) - set(EXPECTED))
    print(f"  {class_name:15} {suite:40} run {report['run']:4}  passed {passed:4}  "
          f"failing as expected {len(failed) - len(unexpected):3}  unexpected {len(unexpected)}")
    for name in unexpected:
        print(f"    UNEXPECTED {name}\n" + "".join("      " + line for line in failed[name].splitlines(True)[-12:]))
    for name in sorted(set(failed) & set(EXPECTED)) if verbose else ():
        print(f"    expected {name}: {EXPECTED[name]}\n" + "".join("      " + l for l in failed[name].splitlines(True)[-6:]))
    return report["run"], passed, len(unexpected), set(report["names"]), set(failed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-v", action="store_true", help="show expected failures too")
    parser.add_argument("-k", default="", help="only the class and suite pairs containing this text")
    parser.add_argument("--child", nargs=2, metavar=("CLASS", "SUITE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if os.environ.get("TAVORIC_MODULE_DIR"):
        sys.path.insert(0, os.environ["TAVORIC_MODULE_DIR"])
    if args.child:
        return child(*args.child)
    try:
        import test.mapping_tests, test.test_dict, test.test_set  # noqa: F401
    except ImportError as error:
        raise SystemExit(f"CPython's test suite cannot be imported ({error}); run tools/bootstrap-python")
    totals, ran_names, failed_names = [0, 0, 0], set(), set()
    for class_name, suite in [(c, s) for c in SETS for s in SET_SUITES] + [(c, s) for c in MAPS for s in MAP_SUITES]:
        if args.k in f"{class_name} {suite}":
            *counts, names, failed = run(class_name, suite, args.v)
            totals = [total + count for total, count in zip(totals, counts)]
            ran_names, failed_names = ran_names | names, failed_names | failed
    for name in sorted(set(EXPECTED) & ran_names - failed_names):
        print(f"  expected to fail but passed everywhere it ran: {name} (prune it from EXPECTED)")
    print(f"CPython suites: {totals[0]} run, {totals[1]} passed, {totals[2]} unexpected failures or crashes")
    return 1 if totals[2] else 0


if __name__ == "__main__":
    sys.exit(main())
