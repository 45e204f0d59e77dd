#include "velmora/daemon/endpoints/job_endpoints.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/daemon/endpoints/kept_answer.hpp"
#include "velmora/daemon/endpoints/node_call.hpp"
#include "velmora/daemon/server/request_json.hpp"
#include "velmora/daemon/validate_data.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

using model::Velmora;

// A store of job records by job id: the launches or the landings.
template <class Record>
using JobStore = model::Store<utils::OrderedDict<std::string, std::shared_ptr<Record>>>;

// A node's store of one side's records.
template <class Record>
using StoreOf = JobStore<Record>& (Velmora::*)();

std::string sendDockerizedApp(Velmora& gobj, const ApiRequest& request) {
  const utils::Value body =
      validate_data(request_json(request), {{"dir", Conversion::text}, {"uuid", Conversion::text}});
  const bool sent = gobj.send_dockerized_app(
      utils::s2b(body["uuid"].get_ref<const std::string&>()), body["dir"].get<std::string>());
  return utils::string_to_result_json(sent, 0, sent ? "File sent" : "File failed to send");
}

// The record that store holds under job_id; KeyError (the id) when it holds none.
template <class Record>
std::shared_ptr<Record> stored_record(const JobStore<Record>& store, const std::string& job_id) {
  return store.with([&](const auto& records) {
    const auto found = records.find(job_id);
    if (found == records.end()) throw utils::KeyError(utils::Value(job_id));
    return found->second;
  });
}

// A job control: operation on the record of the body's "job_id", looked up in the store of the
// control's own side only. The store's lock is not held across the operation, which sends or
// calls the engine.
template <class Record>
Endpoint job_control(StoreOf<Record> store, void (Record::*operation)()) {
  return [store, operation](Velmora& gobj, const ApiRequest& request) {
    const utils::Value body = validate_data(request_json(request), {{"job_id", Conversion::text}});
    const std::shared_ptr<Record> record =
        stored_record((gobj.*store)(), body["job_id"].get<std::string>());
    ((*record).*operation)();
    return success_answer();
  };
}

// A history: to_dict of every record of the store, in the store's order, as "job_dict". The
// records are taken in one step and listed outside the store's lock, each by the text it keeps of
// its to_dict while it does not change; the answer is kept while those texts stay the same, so it
// is made again only when a record comes, goes or changes.
template <class Record>
Endpoint history(StoreOf<Record> store) {
  using Dicts = std::vector<std::shared_ptr<const std::string>>;
  return [store, kept = std::make_shared<KeptAnswer<Dicts>>()](Velmora& gobj,
                                                               const ApiRequest&) -> EndpointText {
    const auto records = (gobj.*store)().with([](const auto& stored) {
      std::vector<std::shared_ptr<Record>> taken;
      taken.reserve(stored.size());
      for (const auto& [job_id, record] : stored) taken.push_back(record);
      return taken;
    });
    Dicts dicts;
    dicts.reserve(records.size());
    for (const auto& record : records) dicts.push_back(record->dict_text());
    return kept->of(std::move(dicts), [](const Dicts& texts) {
      std::vector<std::string_view> views;
      views.reserve(texts.size());
      for (const auto& text : texts) views.emplace_back(*text);
      return utils::string_to_result_json_list(true, 0, "success", "job_dict", views);
    });
  };
}

}  // namespace

EndpointTable job_endpoints() {
  using job::Lander;
  using job::Launcher;
  return {
      {"sendDockerizedApp", sendDockerizedApp},
      {"stop_launch", job_control(&Velmora::launches, &Launcher::stop)},
      {"start_launch", job_control(&Velmora::launches, &Launcher::start)},
      {"pause_launch", job_control(&Velmora::launches, &Launcher::pause)},
      {"unpause_launch", job_control(&Velmora::launches, &Launcher::unpause)},
      {"stop_landing", job_control(&Velmora::landings, &Lander::stop)},
      {"start_landing", job_control(&Velmora::landings, &Lander::start)},
      {"pause_landing", job_control(&Velmora::landings, &Lander::pause)},
      {"unpause_landing", job_control(&Velmora::landings, &Lander::unpause)},
      {"clearMyJobHistory", node_call(&Velmora::clear_launch_history)},
      {"clearMyWorkHistory", node_call(&Velmora::clear_landing_history)},
      {"getMyWorkHistory", history(&Velmora::landings)},
      {"getMyJobHistory", history(&Velmora::launches)},
  };
}

}  // namespace velmora::daemon
