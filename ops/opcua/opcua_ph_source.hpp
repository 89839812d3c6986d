// The OPC UA pH source op of _gantree.
#pragma once

#include "pipeline/data.hpp"

// Reads the pH and the temperature from an OPC UA server, one connection per
// call, into "opcua_sample", and appends the pH to the list under "values".
void opcua_ph_source_op(pipeline::Data& data);
