#include "resources/Deployment.h"

namespace tvl {

const char* FindDeploymentString(const DeploymentValues& deployment, unsigned id) {
    for (const DeploymentStringEntry* entry = deployment.strings; entry->text != nullptr; ++entry) {
        if (entry->id == id) {
            return entry->text;
        }
    }
    return nullptr;
}

}  // namespace tvl
