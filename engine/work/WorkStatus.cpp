#include "engine/work/WorkStatus.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/work/WorkStatusData.h"

namespace tvl {

void WorkStatus::Describe(boost::property_tree::ptree& tree) const {
    tree.put("result", static_cast<unsigned>(result));
    tree.put("retry", retry);
    if (data) {
        boost::property_tree::ptree details;
        data->Describe(details);
        tree.add_child("data", details);
    }
}

}  // namespace tvl
