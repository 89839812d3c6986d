/* The floor for the OPC UA source: per call, a new client with the default
 * configuration, connect, read pH and temperature, disconnect, delete.
 *
 *   opcua_floor ENDPOINT CALLS
 *
 * Prints "T seconds pH temperature" per call. */
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static double read_double(UA_Client* client, const char* id) {
    double out = -1.0;
    UA_NodeId node = UA_NODEID_STRING_ALLOC(2, id);
    UA_Variant value;
    UA_Variant_init(&value);
    if (UA_Client_readValueAttribute(client, node, &value) == UA_STATUSCODE_GOOD &&
        UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_DOUBLE])) {
        out = *(UA_Double*)value.data;
    }
    UA_Variant_clear(&value);
    UA_NodeId_clear(&node);
    return out;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ENDPOINT CALLS\n", argv[0]);
        return 2;
    }
    long calls = atol(argv[2]);
    for (long i = 0; i < calls; ++i) {
        double start = now();
        UA_Client* client = UA_Client_new();
        UA_ClientConfig_setDefault(UA_Client_getConfig(client));
        if (UA_Client_connect(client, argv[1]) != UA_STATUSCODE_GOOD) {
            UA_Client_delete(client);
            fprintf(stderr, "connect failed: %s\n", argv[1]);
            return 1;
        }
        double ph = read_double(client, "VirtualPhMeter01.pH");
        double temperature = read_double(client, "VirtualPhMeter01.temperature");
        UA_Client_disconnect(client);
        UA_Client_delete(client);
        /* Prefixed: the library logs to standard output too. */
        printf("T %.9g %g %g\n", now() - start, ph, temperature);
        fflush(stdout);
    }
    return 0;
}
