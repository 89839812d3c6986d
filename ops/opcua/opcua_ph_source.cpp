// The OPC UA pH source op: one connection per call, two reads, readings into the payload.
#include "opcua_ph_source.hpp"

#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/types.h>
#include <pybind11/stl.h>

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "nul_text.hpp"

namespace py = pybind11;

namespace {

const std::string kDefaultEndpoint = "opc.tcp://127.0.0.1:4840/VirtualPhServer";
const std::string kDefaultPhNode = "ns=2;s=VirtualPhMeter01.pH";
const std::string kDefaultTemperatureNode = "ns=2;s=VirtualPhMeter01.temperature";

// A present key wins even when it holds None: the conversion then fails with
// pybind11::cast_error, which the op lets through.
std::string str_or_default(py::dict& payload, const char* key, const std::string& fallback) {
    if (payload.contains(key)) {
        return payload[key].cast<std::string>();
    }
    return fallback;
}

// Never throws: a reading that fails is NaN, so the caller's client is always
// disconnected and deleted.
double read_double(UA_Client* client, const std::string& node_id_text) {
    // open62541 takes C strings: a NUL would cut the id short and name another node.
    if (norvane::has_nul(node_id_text)) {
        return std::nan("");
    }
    UA_NodeId node_id = UA_NODEID_NULL;
    UA_String text = UA_String_fromChars(node_id_text.c_str());
    UA_StatusCode status = UA_NodeId_parse(&node_id, text);
    UA_clear(&text, &UA_TYPES[UA_TYPES_STRING]);
    if (status != UA_STATUSCODE_GOOD) {
        return std::nan("");
    }

    UA_Variant value;
    UA_Variant_init(&value);
    status = UA_Client_readValueAttribute(client, node_id, &value);
    UA_clear(&node_id, &UA_TYPES[UA_TYPES_NODEID]);
    double result = std::nan("");
    if (status == UA_STATUSCODE_GOOD) {
        if (UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_DOUBLE])) {
            result = *static_cast<const UA_Double*>(value.data);
        } else if (UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_FLOAT])) {
            result = static_cast<double>(*static_cast<const UA_Float*>(value.data));
        }
    }
    UA_clear(&value, &UA_TYPES[UA_TYPES_VARIANT]);
    return result;
}

// The running list the pH reading is appended to: "values" if it converts as
// a whole, else "sampleChunk" if that does, else nothing. A bare number is not
// a list here. Only conversion failures are swallowed; a Python error raised
// by a value leaves the op.
std::vector<double> starting_list(py::dict& payload) {
    for (const char* key : {"values", "sampleChunk"}) {
        if (!payload.contains(key)) {
            continue;
        }
        try {
            return payload[key].cast<std::vector<double>>();
        } catch (const py::cast_error&) {
        }
    }
    return {};
}

}  // namespace

void opcua_ph_source_op(pipeline::Data& data) {
    py::dict payload = data.payload;

    // Copied out of the payload before any client exists, so a conversion
    // failure leaves nothing to release.
    const std::string endpoint = str_or_default(payload, "endpoint", kDefaultEndpoint);
    const std::string ph_node = str_or_default(payload, "phNode", kDefaultPhNode);
    const std::string temperature_node = str_or_default(payload, "temperatureNode", kDefaultTemperatureNode);

    const std::string connect_failed = "opcua_ph_source_op: connect failed for endpoint ";
    // Cut short at a NUL, the endpoint would name another server than the caller's.
    if (norvane::has_nul(endpoint)) {
        throw std::runtime_error(connect_failed + norvane::show_nul(endpoint));
    }

    // Nothing from here to UA_Client_delete can throw, so the client never
    // outlives the call. The library's default configuration, unchanged.
    UA_Client* client = UA_Client_new();
    if (client == nullptr) {
        throw std::bad_alloc();
    }
    UA_ClientConfig_setDefault(UA_Client_getConfig(client));
    if (UA_Client_connect(client, endpoint.c_str()) != UA_STATUSCODE_GOOD) {
        UA_Client_delete(client);
        throw std::runtime_error(connect_failed + endpoint);
    }
    const double ph = read_double(client, ph_node);
    const double temperature = read_double(client, temperature_node);
    UA_Client_disconnect(client);
    UA_Client_delete(client);

    py::dict sample;
    sample["pH"] = ph;
    sample["temperature"] = temperature;
    sample["timestamp"] = py::none();
    payload["opcua_sample"] = sample;

    std::vector<double> values = starting_list(payload);
    values.push_back(ph);
    payload["values"] = py::cast(values);
}
