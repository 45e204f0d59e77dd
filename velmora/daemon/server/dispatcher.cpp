#include "velmora/daemon/server/dispatcher.hpp"

#include <exception>
#include <string>

#include "velmora/daemon/server/cross_origin.hpp"
#include "velmora/daemon/server/error_page.hpp"
#include "velmora/daemon/server/request_json.hpp"
#include "velmora/daemon/module_log.hpp"

namespace velmora::daemon {

ApiAnswer error_answer(int status) { return {status, error_page(status)}; }

ApiAnswer Dispatcher::answer(const ApiRequest& request) const {
  ApiAnswer answer = route(request);
  add_cross_origin_headers(request, answer);
  return answer;
}

ApiAnswer Dispatcher::route(const ApiRequest& request) const {
  const Route* const route = find_route(request.path());
  if (!route) return error_answer(404);
  const std::string_view method = request.method();
  if (method == "OPTIONS") {
    ApiAnswer answer;
    answer.headers.emplace_back("Allow", std::string(allowed_methods(*route)));
    return answer;
  }
  if (!serves_method(*route, method)) {
    ApiAnswer answer = error_answer(405);
    answer.headers.emplace_back("Allow", std::string(allowed_methods(*route)));
    return answer;
  }
  try {
    return handlers_[static_cast<std::size_t>(route - ROUTES.data())](request);
  } catch (const BadRequest&) {
    return error_answer(400);  // the client's fault: nothing to log
  } catch (const std::exception& error) {
    LOG.log_error(utils::log::kError, error, "Exception on %s [%s]", request.path(), method);
  } catch (...) {
    LOG.error("Exception on %s [%s]: an unknown failure", request.path(), method);
  }
  return error_answer(500);
}

}  // namespace velmora::daemon
