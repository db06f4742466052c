// Registration of every type zormsg shows to Python, one function per concept.
#pragma once

#include <pybind11/pybind11.h>

// Called in this order: the enumerations first (Destination's constructor
// converts its default DestinationType when it is registered), then
// Destination, then ZorMsg.
void registerEnums(pybind11::module_& m);
void registerDestination(pybind11::module_& m);
void registerZorMsg(pybind11::module_& m);
