// DispersionMetrics: attribute getters, text form, instance creation.
#include "binding/metrics_type.hpp"

#include <array>
#include <cstddef>
#include <string>

#include "binding/arguments.hpp"
#include "binding/classes.hpp"
#include "metrics/metrics_text.hpp"

namespace lexispan::binding {

namespace {

using MetricsInstance = Instance<DispersionMetrics>;

PyObject* get_range(PyObject* self, void*) noexcept {
    return with_access<DispersionMetrics, SharedAccess>(
        self, [](const DispersionMetrics& record) { return to_python(record.range); });
}

// `closure` is the field's entry in optional_fields.
PyObject* get_optional_field(PyObject* self, void* closure) noexcept {
    const auto* field = static_cast<const OptionalField*>(closure);
    return with_access<DispersionMetrics, SharedAccess>(
        self, [field](const DispersionMetrics& record) { return to_python(record.*(field->member)); });
}

PyObject* metrics_repr(PyObject* self) noexcept {
    return with_access<DispersionMetrics, SharedAccess>(self, [](const DispersionMetrics& record) {
        const std::string text = metrics_text(record);
        PyRef result = PyRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!result) {
            throw_pending_error();
        }
        return result;
    });
}

constexpr std::size_t field_count = std::size(optional_fields) + 1;

std::array<PyGetSetDef, field_count + 1> make_getset_table() noexcept {
    std::array<PyGetSetDef, field_count + 1> table{};
    table[0] = {"range", get_range, nullptr, "", nullptr};
    for (std::size_t i = 0; i < std::size(optional_fields); ++i) {
        table[i + 1] = {optional_fields[i].name, get_optional_field, nullptr, "",
                        const_cast<OptionalField*>(&optional_fields[i])};
    }
    table[field_count] = {nullptr, nullptr, nullptr, nullptr, nullptr};  // sentinel
    return table;
}

std::array<PyGetSetDef, field_count + 1> getset_table = make_getset_table();

PyObject* metrics_class_cache = nullptr;

const PyType_Slot metrics_slots[] = {{Py_tp_repr, reinterpret_cast<void*>(metrics_repr)}};

}  // namespace

PyObject* metrics_class() {
    static const ClassDescription description{
        "DispersionMetrics",
        nullptr,
        "",
        static_cast<int>(sizeof(MetricsInstance)),
        nullptr,
        dealloc_instance<DispersionMetrics>,
        nullptr,
        getset_table.data(),
        metrics_slots,
    };
    return class_object(metrics_class_cache, description);
}

PyRef to_python(const DispersionMetrics& record) {
    return make_instance(metrics_class(), DispersionMetrics(record));
}

PyRef to_python(const std::vector<DispersionMetrics>& records) {
    return list_of(records, [](const DispersionMetrics& record) { return to_python(record); });
}

}  // namespace lexispan::binding
