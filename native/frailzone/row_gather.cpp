#include "row_gather.hpp"

#include <utility>
#include <vector>

#include "orrin/columns.hpp"
#include "orrin/memory.hpp"

namespace frailzone {

py::array_t<std::int64_t> row_positions(const py::object& idx, py::ssize_t rows,
                                        const std::string& name) {
    py::module_ np = py::module_::import("numpy");
    py::array arr = np.attr("asarray")(idx);
    const char kind = arr.dtype().kind();
    if (arr.ndim() != 1 || (kind != 'i' && kind != 'u' && arr.size() > 0)) {
        throw py::type_error(name + " must be a one-dimensional array of integer row positions.");
    }
    py::array_t<std::int64_t, py::array::c_style> pos =
        np.attr("ascontiguousarray")(arr, py::arg("dtype") = np.attr("int64"));
    if (kind == 'u' && arr.size() > 0 &&
        np.attr("any")(np.attr("greater_equal")(arr, rows)).cast<bool>()) {
        throw py::index_error(name + " holds positions outside the " + std::to_string(rows) +
                              " rows.");
    }
    // The positions are the caller's array: negatives are mapped into a copy.
    const std::int64_t n = rows;
    const std::int64_t* p = pos.data();
    const auto m = static_cast<std::size_t>(pos.size());
    bool negative = false;
    for (std::size_t i = 0; i < m; ++i) {
        if (p[i] < -n || p[i] >= n) {
            throw py::index_error(name + " holds positions outside the " + std::to_string(rows) +
                                  " rows.");
        }
        negative = negative || p[i] < 0;
    }
    if (!negative) return pos;
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(m));
    std::int64_t* dst = out.mutable_data();
    for (std::size_t i = 0; i < m; ++i) dst[i] = p[i] < 0 ? p[i] + n : p[i];
    return out;
}

py::array take_rows(const py::array& a, const py::array_t<std::int64_t>& pos) {
    if (a.dtype().attr("hasobject").cast<bool>() || a.ndim() < 1 || a.ndim() > 2) {
        return a[pos];
    }
    const auto m = static_cast<std::size_t>(pos.size());
    const auto itemsize = static_cast<std::size_t>(a.itemsize());
    const std::size_t cols = a.ndim() == 2 ? static_cast<std::size_t>(a.shape(1)) : 1;
    orrin::StridedMatrix src;
    src.data = static_cast<const char*>(a.data());
    src.row_stride = a.strides(0);
    src.col_stride = a.ndim() == 2 ? a.strides(1) : static_cast<py::ssize_t>(itemsize);
    src.cols = cols;
    src.itemsize = itemsize;
    const std::size_t bytes = m * cols * itemsize;
    char* block = static_cast<char*>(orrin::block_alloc(bytes == 0 ? 1 : bytes));
    py::capsule owner(block, [](void* q) { orrin::block_free(q); });
    {
        py::gil_scoped_release release;
        orrin::gather_rows(src, pos.data(), m, block);
    }
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(m)};
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(cols * itemsize)};
    if (a.ndim() == 2) {
        shape.push_back(static_cast<py::ssize_t>(cols));
        strides.push_back(static_cast<py::ssize_t>(itemsize));
    }
    return py::array(a.dtype(), shape, strides, block, owner);
}

}  // namespace frailzone
