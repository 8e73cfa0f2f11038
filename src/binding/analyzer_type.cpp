// CorpusWordAnalyzer: constructor, per-measure methods, accessors and the
// two static bulk methods.
#include "binding/analyzer_type.hpp"

#include <utility>

#include "analyzer/evaluation/batch_evaluation.hpp"
#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/evaluation/full_evaluation.hpp"
#include "analyzer/measures/measures.hpp"
#include "analyzer/evaluation/single_metric.hpp"
#include "binding/arguments.hpp"
#include "binding/classes.hpp"
#include "binding/metrics_type.hpp"

namespace lexispan::binding {

namespace {

using AnalyzerInstance = Instance<CorpusProfile>;

constexpr const char* constructor_parameters[] = {"v", "corpus_part_sizes_words",
                                                  "total_corpus_words"};
constexpr Signature constructor_signature{"CorpusWordAnalyzer.__new__", constructor_parameters};

constexpr const char* batch_parameters[] = {"frequency_matrix", "corpus_part_sizes",
                                            "total_corpus_words"};
constexpr Signature batch_signature{"CorpusWordAnalyzer.calculate_batch_metrics",
                                    batch_parameters};

constexpr const char* single_parameters[] = {"frequency_vector", "corpus_part_sizes",
                                             "total_corpus_words", "metric_name"};
constexpr Signature single_signature{"CorpusWordAnalyzer.calculate_single_metric",
                                     single_parameters};

PyObject* analyzer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&] {
        const std::vector<PyRef> bound = bind_arguments(constructor_signature, args, kwargs);
        std::vector<double> v = argument("v", to_vector, bound[0].get());
        std::vector<double> sizes = argument("corpus_part_sizes_words", to_vector, bound[1].get());
        const double total = argument("total_corpus_words", to_double, bound[2].get());
        CorpusProfile profile = unwrap(make_corpus_profile(std::move(v), std::move(sizes), total));
        return make_instance(reinterpret_cast<PyObject*>(type), std::move(profile));
    });
}

// An instance method that may fill a cache runs alone on its object.
template <auto Body>
PyObject* exclusive_method(PyObject* self, PyObject*) noexcept {
    return with_access<CorpusProfile, ExclusiveAccess>(
        self, [](CorpusProfile& profile) { return to_python(Body(profile)); });
}

template <auto Body>
PyObject* shared_method(PyObject* self, PyObject*) noexcept {
    return with_access<CorpusProfile, SharedAccess>(
        self, [](const CorpusProfile& profile) { return to_python(Body(profile)); });
}

const std::vector<double>& corpus_part_sizes(const CorpusProfile& profile) noexcept {
    return profile.corpus_part_sizes;
}
double total_corpus_words(const CorpusProfile& profile) noexcept {
    return profile.total_corpus_words;
}
const std::vector<double>& relative_partition_sizes(const CorpusProfile& profile) noexcept {
    return profile.relative_partition_sizes;
}
const std::vector<double>& normalized_frequencies(const CorpusProfile& profile) noexcept {
    return profile.normalized_frequencies;
}
DispersionMetrics full_record(CorpusProfile& profile) { return calculate_all_metrics(profile); }

PyObject* calculate_single_metric_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&] {
        const std::vector<PyRef> bound = bind_arguments(single_signature, args, kwargs);
        std::vector<double> v = argument("frequency_vector", to_vector, bound[0].get());
        std::vector<double> sizes = argument("corpus_part_sizes", to_vector, bound[1].get());
        const double total = argument("total_corpus_words", to_double, bound[2].get());
        const std::string name = argument("metric_name", to_text, bound[3].get());
        return to_python(
            unwrap(calculate_single_metric(std::move(v), std::move(sizes), total, name)));
    });
}

PyObject* calculate_batch_metrics_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&] {
        const std::vector<PyRef> bound = bind_arguments(batch_signature, args, kwargs);
        // The matrix may be read in place only if nothing converted after it
        // can run Python code that changes it.
        const bool in_place = vector_conversion_runs_no_python_code(bound[1].get()) &&
                              double_conversion_runs_no_python_code(bound[2].get());
        MatrixRows rows = argument(
            "frequency_matrix", [&](PyObject* matrix) { return to_matrix(matrix, in_place); },
            bound[0].get());
        const std::vector<double> sizes =
            argument("corpus_part_sizes", to_vector, bound[1].get());
        const double total = argument("total_corpus_words", to_double, bound[2].get());
        // Signal handlers run here, on the calling thread, while the rows
        // are evaluated; the lock stays held. A handler that writes to a
        // matrix read in place races with the workers, but the buffer stays
        // exported, so the memory stays valid.
        bool interrupted = false;
        Result<std::vector<DispersionMetrics>> records =
            calculate_batch_metrics(rows, sizes, total, [&interrupted] {
                interrupted = PyErr_CheckSignals() != 0;
                return interrupted;
            });
        rows.release();  // before building Python objects can run Python code
        if (interrupted) {
            throw PythonErrorSet{};  // the handler's exception, KeyboardInterrupt for SIGINT
        }
        return to_python(unwrap(std::move(records)));
    });
}

constexpr const char* class_description =
    "Analyzer for computing lexical dispersion metrics from corpus word frequencies";

constexpr const char* batch_doc =
    "calculate_batch_metrics(frequency_matrix, corpus_part_sizes, total_corpus_words)\n--\n\n"
    "Calculate metrics for multiple words using parallel processing\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `frequency_matrix` - Matrix where each row is a word's frequency vector\n"
    "* `corpus_part_sizes` - Partition sizes (same for all words)\n"
    "* `total_corpus_words` - Total corpus size\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` if:\n"
    "- Matrix rows have inconsistent lengths\n"
    "- Input validation fails for any word";

constexpr const char* single_doc =
    "calculate_single_metric(frequency_vector, corpus_part_sizes, total_corpus_words, "
    "metric_name)\n--\n\n"
    "Calculate a single metric without full analyzer initialization\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `frequency_vector` - Word frequencies per partition\n"
    "* `corpus_part_sizes` - Partition sizes\n"
    "* `total_corpus_words` - Total corpus size\n"
    "* `metric_name` - Name of the metric to compute\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` if:\n"
    "- Metric name is unknown\n"
    "- Input validation fails";

#define LEXISPAN_INSTANCE_METHOD(name, wrapper, body) \
    {#name, as_cfunction(wrapper<body>), METH_NOARGS, #name "($self)\n--\n\n"}

PyMethodDef methods[] = {
    LEXISPAN_INSTANCE_METHOD(get_range, exclusive_method, get_range),
    LEXISPAN_INSTANCE_METHOD(get_sd_population, exclusive_method, get_sd_population),
    LEXISPAN_INSTANCE_METHOD(get_vc_population, exclusive_method, get_vc_population),
    LEXISPAN_INSTANCE_METHOD(get_juilland_d, exclusive_method, get_juilland_d),
    LEXISPAN_INSTANCE_METHOD(get_carroll_d2, exclusive_method, get_carroll_d2),
    LEXISPAN_INSTANCE_METHOD(get_roschengren_s_adj, shared_method, get_roschengren_s_adj),
    LEXISPAN_INSTANCE_METHOD(get_dp, shared_method, get_dp),
    LEXISPAN_INSTANCE_METHOD(get_dp_norm, exclusive_method, get_dp_norm),
    LEXISPAN_INSTANCE_METHOD(get_kl_divergence, shared_method, get_kl_divergence),
    LEXISPAN_INSTANCE_METHOD(get_evenness_da, exclusive_method, get_evenness_da),
    LEXISPAN_INSTANCE_METHOD(get_jsd_dispersion, shared_method, get_jsd_dispersion),
    LEXISPAN_INSTANCE_METHOD(get_hellinger_dispersion, shared_method, get_hellinger_dispersion),
    LEXISPAN_INSTANCE_METHOD(get_mean_text_frequency_ft, exclusive_method,
                             get_mean_text_frequency_ft),
    LEXISPAN_INSTANCE_METHOD(get_pervasiveness_pt, exclusive_method, get_pervasiveness_pt),
    LEXISPAN_INSTANCE_METHOD(get_corpus_part_sizes, shared_method, corpus_part_sizes),
    LEXISPAN_INSTANCE_METHOD(get_total_corpus_words, shared_method, total_corpus_words),
    LEXISPAN_INSTANCE_METHOD(get_relative_partition_sizes, shared_method,
                             relative_partition_sizes),
    LEXISPAN_INSTANCE_METHOD(get_normalized_frequencies, shared_method, normalized_frequencies),
    LEXISPAN_INSTANCE_METHOD(calculate_all_metrics, exclusive_method, full_record),
    {"calculate_batch_metrics", as_cfunction(calculate_batch_metrics_entry),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, batch_doc},
    {"calculate_single_metric", as_cfunction(calculate_single_metric_entry),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, single_doc},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

#undef LEXISPAN_INSTANCE_METHOD

PyObject* analyzer_class_cache = nullptr;

}  // namespace

PyObject* analyzer_class() {
    static const ClassDescription description{
        "CorpusWordAnalyzer",
        "(v, corpus_part_sizes_words, total_corpus_words)",
        class_description,
        static_cast<int>(sizeof(AnalyzerInstance)),
        analyzer_new,
        dealloc_instance<CorpusProfile>,
        methods,
        nullptr,
        {},
    };
    return class_object(analyzer_class_cache, description);
}

}  // namespace lexispan::binding
