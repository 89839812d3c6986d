// "csv_sink": appends one row of the payload to the CSV file named by a
// csv:// handle, with a header line when the file is new or empty, and
// records in "status" which handle the step was routed to.
#include <pybind11/pybind11.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "nul_text.hpp"
#include "ops.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

constexpr const char kCsvScheme[] = "csv://";
constexpr std::size_t kCsvSchemeLength = sizeof(kCsvScheme) - 1;

// A value of any type but str, bytes or bytearray fails here, before anything is done.
std::string resolve_handle_uri(const py::dict& payload) {
    if (payload.contains("handleUri")) {
        return payload["handleUri"].cast<std::string>();
    }
    if (payload.contains("handle")) {
        return payload["handle"].cast<std::string>();
    }
    if (payload.contains("csvPath")) {
        return kCsvScheme + payload["csvPath"].cast<std::string>();
    }
    return {};
}

// The value as a dict: a dict (or subclass) is the same object, anything else
// goes through dict(). A value that dict() refuses gives none, and its error
// is dropped so that the next row rule can apply.
std::optional<py::dict> as_dict(const py::object& value) {
    if (PyDict_Check(value.ptr())) {
        return py::reinterpret_borrow<py::dict>(value);
    }
    PyObject* converted = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr());
    if (converted == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return py::reinterpret_steal<py::dict>(converted);
}

py::dict choose_row(const py::dict& payload) {
    const bool has_data = payload.contains("data");
    if (has_data) {
        if (std::optional<py::dict> row = as_dict(payload["data"])) {
            return *row;
        }
    }
    if (payload.contains("stats")) {
        if (std::optional<py::dict> row = as_dict(payload["stats"])) {
            return *row;
        }
    }
    py::dict row;
    if (has_data) {
        row["value"] = payload["data"];
    } else if (payload.contains("mean")) {
        row["mean"] = payload["mean"];
        if (payload.contains("se")) {
            row["se"] = payload["se"];
        }
    }
    return row;
}

// RFC 4180 quoting, only where a field needs it: unquoted, a comma, quote or
// line break would split the field or the line and no reader could take the
// row back.
void append_field(std::string& out, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
}

struct CsvLines {
    std::string header;
    std::string data;
};

// Everything that can run Python code or fail on the row's contents happens
// here, before the file system is touched: a bad key or value then leaves no
// new file, no directory and no header without its data line.
CsvLines compose_lines(const py::dict& row) {
    std::vector<std::string> keys;
    keys.reserve(row.size());
    for (auto item : row) {
        keys.push_back(item.first.cast<std::string>());
    }

    CsvLines lines;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) {
            lines.header += ',';
            lines.data += ',';
        }
        append_field(lines.header, keys[i]);
        // Looked up again under the key's text, so a bytes key finds nothing (KeyError).
        py::object value = row[py::str(keys[i])];
        append_field(lines.data, static_cast<std::string>(py::str(value)));
    }
    lines.header += '\n';
    lines.data += '\n';
    return lines;
}

// Due when the path is missing or an empty regular file. A directory, or a
// path whose status can't be read, throws the file-system error. A device or
// pipe has no size to test and gets no header: it is written to as it is, so
// that a failing one (a full device) shows up as a failed write.
bool header_due(const fs::path& file) {
    const fs::file_status status = fs::status(file);
    if (!fs::exists(status)) {
        return true;
    }
    if (fs::is_regular_file(status) || fs::is_directory(status)) {
        return fs::file_size(file) == 0;
    }
    return false;
}

std::runtime_error open_failure(const std::string& path) {
    return std::runtime_error("csv_sink_op: failed to open file: " + path);
}

// Creates the parent directory when the file is missing and tells whether the
// header is due. The common case, an existing regular file, costs one stat():
// its parent exists, so there is nothing to create. Every other case takes
// the general path with the standard library's errors.
bool prepare_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        return st.st_size == 0;
    }
    const fs::path file(path);
    std::error_code ignored;  // a directory that can't be made shows up when the file won't open
    fs::create_directories(file.parent_path(), ignored);
    return header_due(file);
}

// One write of the whole text (repeated only for a short write), then the
// close, whose result counts too.
bool write_all(int fd, const std::string& text) {
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        next += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void append_row(const std::string& path, const py::dict& row) {
    const CsvLines lines = compose_lines(row);

    // The system calls end a path at its first NUL and would write another
    // file than the one named. The message shows the NUL, since what() would
    // end there too.
    if (norvane::has_nul(path)) {
        throw open_failure(norvane::show_nul(path));
    }

    const std::string text = prepare_file(path) ? lines.header + lines.data : lines.data;

    // The modes of an output stream opened for appending.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw open_failure(path);
    }
    const bool written = write_all(fd, text);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        throw std::runtime_error("csv_sink_op: failed to write file: " + path);
    }
}

}  // namespace

namespace mirlow {

void csv_sink_op(pipeline::Data& data) {
    py::dict payload = data.payload;

    const std::string uri = resolve_handle_uri(payload);
    // Made before the file is touched: a handle that is not valid UTF-8 can't
    // be reported, and fails here rather than after its line was appended.
    const py::str status("handled via " + uri);

    if (uri.compare(0, kCsvSchemeLength, kCsvScheme) == 0) {
        const py::dict row = choose_row(payload);
        if (!row.empty()) {
            append_row(uri.substr(kCsvSchemeLength), row);
        }
    }

    payload["status"] = status;
}

}  // namespace mirlow
