#include "engine/http/HttpSession.h"

#include "engine/http/RoundRobinHttpRequestPool.h"

namespace tvl {

std::shared_ptr<HttpSession> RoundRobinHttpSessionFactory::Create() {
    return std::make_shared<HttpSession>(std::make_shared<RoundRobinHttpRequestPool>());
}

}  // namespace tvl
