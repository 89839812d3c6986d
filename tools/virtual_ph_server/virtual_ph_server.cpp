// virtual-ph-server: a simulated pH meter served over OPC UA, to try pipelines
// on and to test the OPC UA source against.
#include <open62541/plugin/log_stdout.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace {

const char* const kUsage = R"(usage: virtual-ph-server [options]

A simulated pH meter on an OPC UA server, at
  opc.tcp://HOST:PORT/VirtualPhServer

Options:
  --host HOST         address to listen on (default 127.0.0.1; 0.0.0.0 for all)
  --port PORT         TCP port, 1-65535 (default 4840)
  --set-point PH      pH the reading drifts around (default 7.0)
  --ph PH             pin the pH reading to this value, 0-14 (no drift, no noise)
  --temperature C     pin the temperature to this value in degrees Celsius,
                      -100 to 200
  --seed N            seed of the simulation, so that a run's sequence of
                      values can be repeated (default: a random seed)
  --interval MS       update period of the readings in milliseconds (default 200)
  --log-level LEVEL   server log output: error, warning (default), info, debug
  -v, --verbose       same as --log-level info
  -h, --help          show this text

Variables, in namespace 2 (node ids ns=2;s=NAME), read-only:
  VirtualPhMeter01.pH           Double  the pH reading: a slow drift around the
                                        set point plus noise, within 0..14
  VirtualPhMeter01.temperature  Double  the sample temperature in degrees
                                        Celsius, drifting around 25
  VirtualPhMeter01.pHFloat      Float   the pH reading as a Float
  VirtualPhMeter01.pHInt32      Int32   the pH reading rounded to an Int32
  VirtualPhMeter01.label        String  "VirtualPhMeter01 simulated pH meter"
  VirtualPhMeter01.recentPH     Double array, the last 5 pH readings, oldest first

No security: one endpoint without encryption, anonymous access only.
Prints one line "ready" once it is listening; logs go to stdout as well.
Stops on SIGINT (Ctrl-C) or SIGTERM with exit status 0. Exits with status 1
when it cannot listen (the port is taken, say) and 2 on a bad option.
)";

constexpr std::size_t kRecentCount = 5;

struct Options {
    std::string host = "127.0.0.1";
    UA_UInt16 port = 4840;
    double set_point = 7.0;
    std::optional<double> pinned_ph;
    std::optional<double> pinned_temperature;
    std::optional<std::uint64_t> seed;
    double interval_ms = 200.0;
    UA_LogLevel log_level = UA_LOGLEVEL_WARNING;
};

// The simulated probe: each reading is a mean-reverting drift around its
// base value plus white noise, so a window of readings looks like a real
// meter's: steady in the short term, wandering slowly in the long term.
struct Meter {
    std::mt19937_64 rng;
    std::normal_distribution<double> unit{0.0, 1.0};
    double set_point = 7.0;
    std::optional<double> pinned_ph;
    std::optional<double> pinned_temperature;
    double ph_drift = 0.0;
    double temperature_drift = 0.0;
    double ph = 7.0;
    double temperature = 25.0;
    std::array<double, kRecentCount> recent{};
    std::size_t recent_filled = 0;
};

// Ornstein-Uhlenbeck step: pulls back towards 0 with time constant tau_s and
// diffuses by sigma per square-root second.
double drift_step(Meter& meter, double drift, double dt_s, double tau_s, double sigma) {
    return drift - drift * dt_s / tau_s + sigma * std::sqrt(dt_s) * meter.unit(meter.rng);
}

void advance(Meter& meter, double dt_s) {
    meter.ph_drift = drift_step(meter, meter.ph_drift, dt_s, 60.0, 0.02);
    meter.temperature_drift = drift_step(meter, meter.temperature_drift, dt_s, 120.0, 0.05);
    const double ph_noise = 0.005 * meter.unit(meter.rng);
    const double temperature_noise = 0.02 * meter.unit(meter.rng);
    meter.ph = meter.pinned_ph ? *meter.pinned_ph : std::clamp(meter.set_point + meter.ph_drift + ph_noise, 0.0, 14.0);
    meter.temperature =
        meter.pinned_temperature ? *meter.pinned_temperature : 25.0 + meter.temperature_drift + temperature_noise;
    if (meter.recent_filled < kRecentCount) {
        meter.recent[meter.recent_filled++] = meter.ph;
    } else {
        std::rotate(meter.recent.begin(), meter.recent.begin() + 1, meter.recent.end());
        meter.recent.back() = meter.ph;
    }
}

// open62541 takes mutable C strings in its node id and text helpers, but only
// reads them (or copies them) there.
UA_NodeId string_node(const char* name) { return UA_NODEID_STRING(2, const_cast<char*>(name)); }

struct Server {
    UA_Server* server = nullptr;
    Meter meter;
    double interval_s = 0.2;
};

void write_scalar(UA_Server* server, const char* name, const void* value, const UA_DataType* type) {
    UA_Variant variant;
    UA_Variant_setScalar(&variant, const_cast<void*>(value), type);
    UA_Server_writeValue(server, string_node(name), variant);
}

void publish(Server& s) {
    const Meter& m = s.meter;
    const UA_Float ph_float = static_cast<UA_Float>(m.ph);
    const UA_Int32 ph_int = static_cast<UA_Int32>(std::lround(m.ph));
    write_scalar(s.server, "VirtualPhMeter01.pH", &m.ph, &UA_TYPES[UA_TYPES_DOUBLE]);
    write_scalar(s.server, "VirtualPhMeter01.temperature", &m.temperature, &UA_TYPES[UA_TYPES_DOUBLE]);
    write_scalar(s.server, "VirtualPhMeter01.pHFloat", &ph_float, &UA_TYPES[UA_TYPES_FLOAT]);
    write_scalar(s.server, "VirtualPhMeter01.pHInt32", &ph_int, &UA_TYPES[UA_TYPES_INT32]);
    UA_Variant recent;
    UA_Variant_setArray(&recent, const_cast<double*>(m.recent.data()), m.recent_filled, &UA_TYPES[UA_TYPES_DOUBLE]);
    UA_Server_writeValue(s.server, string_node("VirtualPhMeter01.recentPH"), recent);
}

void on_tick(UA_Server*, void* data) {
    Server& s = *static_cast<Server*>(data);
    advance(s.meter, s.interval_s);
    publish(s);
}

UA_StatusCode add_variable(UA_Server* server, const char* name, const char* display, const UA_DataType* type,
                           UA_Int32 value_rank, const void* initial) {
    UA_VariableAttributes attr = UA_VariableAttributes_default;
    attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>(display));
    attr.dataType = type->typeId;
    attr.valueRank = value_rank;
    attr.accessLevel = UA_ACCESSLEVELMASK_READ;
    attr.userAccessLevel = UA_ACCESSLEVELMASK_READ;
    // An array variable needs its dimensions stated (0: any length) for the
    // server to accept an empty array as its first value.
    UA_UInt32 any_length = 0;
    if (value_rank == UA_VALUERANK_SCALAR) {
        UA_Variant_setScalar(&attr.value, const_cast<void*>(initial), type);
    } else {
        attr.arrayDimensions = &any_length;
        attr.arrayDimensionsSize = 1;
        UA_Variant_setArray(&attr.value, UA_EMPTY_ARRAY_SENTINEL, 0, type);
    }
    return UA_Server_addVariableNode(server, string_node(name), string_node("VirtualPhMeter01"),
                                     UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
                                     UA_QUALIFIEDNAME(2, const_cast<char*>(display)),
                                     UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attr, nullptr, nullptr);
}

UA_StatusCode add_meter_nodes(UA_Server* server) {
    const UA_UInt16 ns = UA_Server_addNamespace(server, "urn:norvane:virtual-ph-server");
    if (ns != 2) {
        std::fprintf(stderr, "virtual-ph-server: expected namespace index 2, got %u\n", static_cast<unsigned>(ns));
        return UA_STATUSCODE_BADINTERNALERROR;
    }
    UA_ObjectAttributes object = UA_ObjectAttributes_default;
    object.displayName = UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>("VirtualPhMeter01"));
    UA_StatusCode status = UA_Server_addObjectNode(
        server, string_node("VirtualPhMeter01"), UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
        UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES), UA_QUALIFIEDNAME(2, const_cast<char*>("VirtualPhMeter01")),
        UA_NODEID_NUMERIC(0, UA_NS0ID_BASEOBJECTTYPE), object, nullptr, nullptr);

    if (status != UA_STATUSCODE_GOOD) {
        return status;
    }

    const UA_Double zero_double = 0.0;
    const UA_Float zero_float = 0.0f;
    const UA_Int32 zero_int = 0;
    UA_String label = UA_STRING(const_cast<char*>("VirtualPhMeter01 simulated pH meter"));
    struct Variable {
        const char* node;
        const char* name;
        const UA_DataType* type;
        UA_Int32 value_rank;
        const void* initial;
    };
    const Variable variables[] = {
        {"VirtualPhMeter01.pH", "pH", &UA_TYPES[UA_TYPES_DOUBLE], UA_VALUERANK_SCALAR, &zero_double},
        {"VirtualPhMeter01.temperature", "temperature", &UA_TYPES[UA_TYPES_DOUBLE], UA_VALUERANK_SCALAR, &zero_double},
        {"VirtualPhMeter01.pHFloat", "pHFloat", &UA_TYPES[UA_TYPES_FLOAT], UA_VALUERANK_SCALAR, &zero_float},
        {"VirtualPhMeter01.pHInt32", "pHInt32", &UA_TYPES[UA_TYPES_INT32], UA_VALUERANK_SCALAR, &zero_int},
        {"VirtualPhMeter01.label", "label", &UA_TYPES[UA_TYPES_STRING], UA_VALUERANK_SCALAR, &label},
        {"VirtualPhMeter01.recentPH", "recentPH", &UA_TYPES[UA_TYPES_DOUBLE], UA_VALUERANK_ONE_DIMENSION, nullptr},
    };
    for (const Variable& v : variables) {
        status = add_variable(server, v.node, v.name, v.type, v.value_rank, v.initial);
        if (status != UA_STATUSCODE_GOOD) {
            return status;
        }
    }
    return UA_STATUSCODE_GOOD;
}

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

// The library's stdout logger behind a level that can change: the warnings
// that the configuration itself raises (anonymous access, no encryption) are
// the simulator's deliberate choices and stay out of the default output, and
// so does the warning about the wait that a stop signal interrupts.
UA_LogLevel g_log_level = UA_LOGLEVEL_WARNING;

void filtered_log(void*, UA_LogLevel level, UA_LogCategory category, const char* msg, va_list args) {
    const UA_LogLevel min_level = g_stop ? std::max(g_log_level, UA_LOGLEVEL_ERROR) : g_log_level;
    if (level >= min_level) {
        UA_Log_Stdout_.log(UA_Log_Stdout_.context, level, category, msg, args);
    }
}

UA_Logger g_logger = {filtered_log, nullptr, nullptr};

// --- command line -----------------------------------------------------------

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "virtual-ph-server: %s\n(see virtual-ph-server --help)\n", message.c_str());
    std::exit(2);
}

double parse_double(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value)) {
        usage_error(option + " expects a number, got '" + text + "'");
    }
    return value;
}

unsigned long long parse_unsigned(const std::string& option, const std::string& text, unsigned long long max) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > max) {
        usage_error(option + " expects a whole number up to " + std::to_string(max) + ", got '" + text + "'");
    }
    return value;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        auto take_value = [&]() -> std::string {
            if (has_value) {
                return value;
            }
            if (i + 1 >= argc) {
                usage_error(arg + " expects a value");
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "-v" || arg == "--verbose") {
            options.log_level = UA_LOGLEVEL_INFO;
        } else if (arg == "--host") {
            options.host = take_value();
            if (options.host.empty()) {
                usage_error("--host expects an address");
            }
        } else if (arg == "--port") {
            const auto port = parse_unsigned(arg, take_value(), 65535);
            if (port == 0) {
                usage_error("--port expects a port from 1 to 65535");
            }
            options.port = static_cast<UA_UInt16>(port);
        } else if (arg == "--set-point") {
            options.set_point = parse_double(arg, take_value());
        } else if (arg == "--ph") {
            options.pinned_ph = parse_double(arg, take_value());
            if (*options.pinned_ph < 0.0 || *options.pinned_ph > 14.0) {
                usage_error("--ph expects a pH from 0 to 14");
            }
        } else if (arg == "--temperature") {
            options.pinned_temperature = parse_double(arg, take_value());
            if (*options.pinned_temperature < -100.0 || *options.pinned_temperature > 200.0) {
                usage_error("--temperature expects degrees Celsius from -100 to 200");
            }
        } else if (arg == "--seed") {
            options.seed = parse_unsigned(arg, take_value(), UINT64_MAX);
        } else if (arg == "--interval") {
            options.interval_ms = parse_double(arg, take_value());
            if (options.interval_ms < 10.0) {
                usage_error("--interval expects at least 10 milliseconds");
            }
        } else if (arg == "--log-level") {
            const std::string level = take_value();
            if (level == "error") {
                options.log_level = UA_LOGLEVEL_ERROR;
            } else if (level == "warning") {
                options.log_level = UA_LOGLEVEL_WARNING;
            } else if (level == "info") {
                options.log_level = UA_LOGLEVEL_INFO;
            } else if (level == "debug") {
                options.log_level = UA_LOGLEVEL_DEBUG;
            } else {
                usage_error("--log-level expects error, warning, info or debug, got '" + level + "'");
            }
        } else {
            usage_error("unknown option '" + arg + "'");
        }
    }
    if (options.set_point < 0.0 || options.set_point > 14.0) {
        usage_error("--set-point expects a pH from 0 to 14");
    }
    return options;
}

// --- running ----------------------------------------------------------------

// No SA_RESTART: the signal interrupts the event loop's wait, so the server
// stops at once instead of at its next timer.
void install_signal_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string endpoint_url(const Options& options) {
    // A literal IPv6 address goes in brackets in a URL.
    const bool ipv6 = options.host.find(':') != std::string::npos && options.host.front() != '[';
    const std::string host = ipv6 ? "[" + options.host + "]" : options.host;
    return "opc.tcp://" + host + ":" + std::to_string(options.port) + "/VirtualPhServer";
}

// One endpoint without security, anonymous access only, at the given URL.
UA_StatusCode configure(UA_ServerConfig& config, UA_UInt16 port, const std::string& url) {
    UA_StatusCode status = UA_ServerConfig_setMinimal(&config, port, nullptr);
    if (status != UA_STATUSCODE_GOOD) {
        return status;
    }
    // Anonymous access only: the other login kinds of the default access
    // control would travel unencrypted, and the server warns about them on
    // every session.
    UA_AccessControl& access = config.accessControl;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < access.userTokenPoliciesSize; ++i) {
        if (access.userTokenPolicies[i].tokenType == UA_USERTOKENTYPE_ANONYMOUS) {
            std::swap(access.userTokenPolicies[kept++], access.userTokenPolicies[i]);
        }
    }
    for (std::size_t i = kept; i < access.userTokenPoliciesSize; ++i) {
        UA_clear(&access.userTokenPolicies[i], &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
    }
    access.userTokenPoliciesSize = kept;
    // The library's address reuse lets a second server bind a port that is
    // already listened on and take over part of its connections; a busy
    // port has to fail the start instead.
    config.tcpReuseAddr = false;
    // Listen on the chosen address only, and advertise the URL with its path,
    // which clients compare with the one they connected to.
    UA_Array_delete(config.serverUrls, config.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    config.serverUrls = UA_String_new();
    config.serverUrlsSize = 1;
    *config.serverUrls = UA_String_fromChars(url.c_str());
    for (std::size_t i = 0; i < config.endpointsSize; ++i) {
        UA_EndpointDescription& endpoint = config.endpoints[i];
        UA_String_clear(&endpoint.endpointUrl);
        endpoint.endpointUrl = UA_String_fromChars(url.c_str());
        // Filled in again from the access control when the server starts.
        UA_Array_delete(endpoint.userIdentityTokens, endpoint.userIdentityTokensSize,
                        &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
        endpoint.userIdentityTokens = nullptr;
        endpoint.userIdentityTokensSize = 0;
    }
    UA_ApplicationDescription& app = config.applicationDescription;
    UA_Array_delete(app.discoveryUrls, app.discoveryUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    app.discoveryUrls = UA_String_new();
    app.discoveryUrlsSize = 1;
    *app.discoveryUrls = UA_String_fromChars(url.c_str());
    UA_LocalizedText_clear(&config.applicationDescription.applicationName);
    config.applicationDescription.applicationName = UA_LOCALIZEDTEXT_ALLOC("en-US", "VirtualPhServer");
    return UA_STATUSCODE_GOOD;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    // Signals before the server exists: a stop request that arrives while it
    // starts is then seen by the loop below rather than killing the process.
    install_signal_handlers();

    UA_ServerConfig config;
    std::memset(&config, 0, sizeof config);
    // Set before the rest of the configuration, which hands the logger on to
    // the event loop and the network layer.
    g_log_level = std::max(options.log_level, UA_LOGLEVEL_ERROR);
    config.logging = &g_logger;
    const std::string url = endpoint_url(options);
    UA_StatusCode status = configure(config, options.port, url);
    if (status != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "virtual-ph-server: configuration failed: %s\n", UA_StatusCode_name(status));
        UA_ServerConfig_clean(&config);
        return 1;
    }
    g_log_level = options.log_level;

    Server s;
    s.server = UA_Server_newWithConfig(&config);
    if (s.server == nullptr) {
        std::fprintf(stderr, "virtual-ph-server: could not create the server\n");
        return 1;
    }
    s.interval_s = options.interval_ms / 1000.0;
    s.meter.rng.seed(options.seed ? *options.seed : std::random_device{}());
    s.meter.set_point = options.set_point;
    s.meter.pinned_ph = options.pinned_ph;
    s.meter.pinned_temperature = options.pinned_temperature;

    status = add_meter_nodes(s.server);
    if (status == UA_STATUSCODE_GOOD) {
        // A first reading before any client can connect.
        advance(s.meter, s.interval_s);
        publish(s);
        status = UA_Server_addRepeatedCallback(s.server, on_tick, &s, options.interval_ms, nullptr);
    }
    if (status == UA_STATUSCODE_GOOD) {
        status = UA_Server_run_startup(s.server);
    }
    if (status != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "virtual-ph-server: could not start on %s: %s\n", url.c_str(), UA_StatusCode_name(status));
        UA_Server_delete(s.server);
        return 1;
    }

    std::puts("ready");
    std::fflush(stdout);
    while (!g_stop) {
        UA_Server_run_iterate(s.server, true);
    }
    UA_Server_run_shutdown(s.server);
    UA_Server_delete(s.server);
    return 0;
}
