"""What Python sees of the module and its two classes, and the per-object access rule."""

import gc
import pydoc
import shutil
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import lexispan
from conftest import FIELDS, record_bits
from lexispan import CorpusWordAnalyzer, DispersionMetrics

A = CorpusWordAnalyzer
INSTANCE_METHODS = (
    "get_range", "get_sd_population", "get_vc_population", "get_juilland_d", "get_carroll_d2",
    "get_roschengren_s_adj", "get_dp", "get_dp_norm", "get_kl_divergence", "get_evenness_da",
    "get_jsd_dispersion", "get_hellinger_dispersion", "get_mean_text_frequency_ft",
    "get_pervasiveness_pt", "get_corpus_part_sizes", "get_total_corpus_words",
    "get_relative_partition_sizes", "get_normalized_frequencies", "calculate_all_metrics",
)
STATIC_METHODS = ("calculate_batch_metrics", "calculate_single_metric")
BATCH_DOC = (
    "Calculate metrics for multiple words using parallel processing\n\n# Arguments\n\n"
    "* `frequency_matrix` - Matrix where each row is a word's frequency vector\n"
    "* `corpus_part_sizes` - Partition sizes (same for all words)\n"
    "* `total_corpus_words` - Total corpus size\n\n# Errors\n\n"
    "Returns `PyValueError` if:\n- Matrix rows have inconsistent lengths\n"
    "- Input validation fails for any word"
)
SINGLE_DOC = (
    "Calculate a single metric without full analyzer initialization\n\n# Arguments\n\n"
    "* `frequency_vector` - Word frequencies per partition\n"
    "* `corpus_part_sizes` - Partition sizes\n"
    "* `total_corpus_words` - Total corpus size\n"
    "* `metric_name` - Name of the metric to compute\n\n# Errors\n\n"
    "Returns `PyValueError` if:\n- Metric name is unknown\n- Input validation fails"
)


def analyzer():
    return A([2, 0, 3], [100, 50, 150], 300)


def test_module_attributes():
    assert lexispan.__all__ == ["CorpusWordAnalyzer", "DispersionMetrics"]
    assert lexispan.__doc__ == "Python module definition"
    assert lexispan.CorpusWordAnalyzer is A and lexispan.DispersionMetrics is DispersionMetrics
    public = {name for name in vars(lexispan) if not name.startswith("__")}
    assert public == {"CorpusWordAnalyzer", "DispersionMetrics"}


IMPORT_UNDER_ERROR = """
    import warnings
    filters = list(warnings.filters)
    import lexispan
    assert warnings.filters == filters, "the import changed the warning filters"
    print(lexispan.CorpusWordAnalyzer.__name__, lexispan.DispersionMetrics.__name__)
"""


def test_import_with_warnings_as_errors():
    # The interpreter warns about the classes' bare names while creating them.
    completed = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(IMPORT_UNDER_ERROR)],
        capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["CorpusWordAnalyzer", "DispersionMetrics"]


FAILED_CLASS_CREATION = """
    import warnings

    def refuse(*args, **kwargs):
        raise LookupError("no filters today")

    warnings.filterwarnings = refuse
    filters = list(warnings.filters)
    try:
        import lexispan
    except RuntimeError as error:
        assert str(error) == "An error occurred while initializing class CorpusWordAnalyzer"
        assert type(error.__cause__) is LookupError, repr(error.__cause__)
        assert str(error.__cause__) == "no filters today"
        assert warnings.filters == filters
        print("ok")
"""


def test_failed_class_creation_is_raised_with_its_cause():
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(FAILED_CLASS_CREATION)],
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["ok"]


def extension_modules():
    """Every extension module of the distribution, as installed."""
    site = Path(lexispan.__file__).parent
    return sorted([*site.glob("lexispan*.abi3.so"), *site.glob("lexispan_table/*.abi3.so")])


@pytest.mark.skipif(shutil.which("nm") is None, reason="no nm to list the dynamic symbols")
def test_extension_modules_export_their_init_function_only():
    modules = extension_modules()
    assert Path(lexispan.__file__) in modules
    for path in modules:
        listing = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True,
                                 text=True, check=True).stdout
        exported = {line.split()[-1] for line in listing.splitlines() if line.strip()}
        assert exported == {"PyInit_" + path.name.split(".")[0]}, path


def test_class_names_and_docs():
    assert (A.__name__, A.__qualname__) == ("CorpusWordAnalyzer", "CorpusWordAnalyzer")
    assert A.__doc__ == (
        "Analyzer for computing lexical dispersion metrics from corpus word frequencies")
    assert A.__text_signature__ == "(v, corpus_part_sizes_words, total_corpus_words)"
    assert DispersionMetrics.__name__ == "DispersionMetrics"
    assert DispersionMetrics.__doc__ is None
    assert A.__bases__ == (object,) and DispersionMetrics.__bases__ == (object,)


def test_method_table_in_registration_order():
    registered = [name for name in vars(A) if not name.startswith("__")]
    assert registered == [*INSTANCE_METHODS, *STATIC_METHODS]


@pytest.mark.parametrize("name", INSTANCE_METHODS)
def test_instance_method_signature(name):
    method = getattr(A, name)
    assert method.__text_signature__ == "($self)"
    assert method.__doc__ is None
    with pytest.raises(TypeError):
        getattr(analyzer(), name)(1)


@pytest.mark.parametrize("name, signature, doc", [
    ("calculate_batch_metrics", "(frequency_matrix, corpus_part_sizes, total_corpus_words)",
     BATCH_DOC),
    ("calculate_single_metric",
     "(frequency_vector, corpus_part_sizes, total_corpus_words, metric_name)", SINGLE_DOC),
])
def test_static_method_signature(name, signature, doc):
    assert isinstance(vars(A)[name], staticmethod)
    for method in (getattr(A, name), getattr(analyzer(), name)):
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc


def test_record_attributes_in_order():
    # Every public member is one of the fields, and the text form lists them in the same order.
    registered = [name for name in vars(DispersionMetrics) if not name.startswith("__")]
    assert registered == list(FIELDS) and len(FIELDS) == 16
    shown = repr(analyzer().calculate_all_metrics())
    assert [item.split("=")[0] for item in shown[len("DispersionMetrics("):-1].split(", ")] == \
        list(FIELDS)
    for name in FIELDS:
        descriptor = vars(DispersionMetrics)[name]
        assert descriptor.__doc__ in ("", None)
        with pytest.raises(AttributeError):
            descriptor.__set__(analyzer().calculate_all_metrics(), 1.0)


@pytest.mark.parametrize("cls", [A, DispersionMetrics])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("make", [analyzer, lambda: analyzer().calculate_all_metrics()])
def test_no_weakrefs_and_no_new_attributes(make):
    obj = make()
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), ((None,), {})])
def test_records_have_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        DispersionMetrics(*args, **kwargs)
    assert info.value.args == ("No constructor defined for DispersionMetrics",)


def test_instances_release_their_class():
    a = analyzer()
    before = (sys.getrefcount(A), sys.getrefcount(DispersionMetrics))
    for _ in range(1000):
        a.calculate_all_metrics()
        analyzer()
    assert (sys.getrefcount(A), sys.getrefcount(DispersionMetrics)) == before


def test_panic_exception_is_not_exposed():
    assert not hasattr(lexispan, "PanicException")


def test_initialisation_happens_once_per_process():
    script = textwrap.dedent("""
        import importlib, sys
        import lexispan
        first = lexispan
        import lexispan
        assert lexispan is first
        del sys.modules["lexispan"]
        for attempt in range(2):
            try:
                importlib.import_module("lexispan")
            except ImportError as error:
                assert str(error).endswith(
                    "may only be initialized once per interpreter process"), error
            else:
                raise AssertionError("initialised twice")
        # The first module and its classes keep working.
        record = first.CorpusWordAnalyzer([1, 2], [3, 4], 7).calculate_all_metrics()
        assert type(record) is first.DispersionMetrics and record.range == 2
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


class Reentry:
    """Cyclic garbage whose finalizer calls back into an analyzer."""

    def __init__(self, target, names, seen):
        self.cycle = self
        self.target, self.names, self.seen = target, names, seen

    def __del__(self):
        for name in self.names:
            try:
                getattr(self.target, name)()
                self.seen.append((name, None))
            except RuntimeError as error:
                self.seen.append((name, str(error)))


def run_with_finalizer_inside(method, names):
    """Call `method` so that the collector runs `Reentry.__del__` while it builds its list."""
    seen = []
    old = gc.get_threshold()
    gc.collect()
    Reentry(method.__self__, names, seen)
    gc.set_threshold(1)
    try:
        result = method()
    finally:
        gc.set_threshold(*old)
    gc.collect()
    return result, seen


@pytest.mark.parametrize("accessor", ["get_corpus_part_sizes", "get_relative_partition_sizes",
                                      "get_normalized_frequencies"])
def test_reentry_during_shared_access(accessor):
    target = analyzer()
    method = getattr(target, accessor)
    expected = method()
    result, seen = run_with_finalizer_inside(
        method, ["get_range", "calculate_all_metrics", "get_dp", "get_total_corpus_words"])
    if not seen:
        pytest.skip("the collector did not run inside the call")
    if all(outcome is None for _, outcome in seen):
        pytest.skip("the collector ran inside the call but outside its shared access")
    assert result == expected
    assert seen == [("get_range", "Already borrowed"),
                    ("calculate_all_metrics", "Already borrowed"),
                    ("get_dp", None), ("get_total_corpus_words", None)]
    # The flag is back at 0: exclusive access works again, and nothing was cached wrongly.
    assert target.get_range() == 2
    assert target.calculate_all_metrics().range == 2


def test_static_methods_ignore_the_instance():
    target = analyzer()
    through_instance = target.calculate_batch_metrics([[1, 2], [0, 3]], [3, 4], 7)
    through_class = A.calculate_batch_metrics([[1, 2], [0, 3]], [3, 4], 7)
    assert [record_bits(r) for r in through_instance] == [record_bits(r) for r in through_class]


def test_failed_calls_leave_the_object_usable():
    target = analyzer()
    for bad in (lambda: target.get_range(1), lambda: target.calculate_all_metrics(x=1),
                lambda: A.get_dp(target.calculate_all_metrics()),
                lambda: target.calculate_single_metric([1], [1], 1, "nope"),
                lambda: target.calculate_batch_metrics([[1]], [1, 2], 1)):
        with pytest.raises((TypeError, ValueError)):
            bad()
        assert target.get_range() == 2
        assert target.get_dp() == A([2, 0, 3], [100, 50, 150], 300).get_dp()


@pytest.mark.parametrize("cls", [CorpusWordAnalyzer, DispersionMetrics])
def test_help_documents_the_class_members(cls):
    # help() reads __module__; without one it falls back to a one-line summary.
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    member = "get_evenness_da" if cls is CorpusWordAnalyzer else "ft_adjusted_by_da"
    assert member in text
    assert repr(cls) == f"<class '{cls.__name__}'>"
