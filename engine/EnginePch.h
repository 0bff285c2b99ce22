// Precompiled for the engine's sources: the heavy headers most of them include.
#include <boost/property_tree/ptree.hpp>
#include <memory>
#include <string>
#include <vector>
