#pragma once
// What the handlers of the job packages share (the model's own sources): finding the job that a
// package names, walking the stored jobs, logging a package refused, applying a control word.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/model/module_log.hpp"
#include "velmora/model/stores.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {

// The record stored under job_id, or null.
template <class Records>
typename Records::mapped_type find_job(Store<Records>& store, const std::string& job_id) {
  return store.with([&](const Records& records) {
    const auto found = records.find(job_id);
    return found == records.end() ? nullptr : found->second;
  });
}

// The records of the store in its order, for a walk outside the store's lock: the pointers
// alone are copied, not the dictionary with its keys.
template <class Records>
std::vector<typename Records::mapped_type> job_records(const Store<Records>& store) {
  return store.with([](const Records& records) {
    std::vector<typename Records::mapped_type> walked;
    walked.reserve(records.size());
    for (const auto& [job_id, record] : records) walked.push_back(record);
    return walked;
  });
}

// Logs at WARNING that a package about job_id from origin was refused: what it was, and why.
inline void log_refused(std::string_view what, const std::string& job_id,
                        const utils::Bytes& origin, std::string_view why) {
  LOG.warning("Refused %s for job %s from %s: %s", what, job_id, utils::b2s(origin), why);
}

// Calls the record's stop, start, pause or unpause, as word says. RuntimeError "could not control
// <side> with case <word>" for another word.
template <class Record>
void apply_control(Record& record, std::string_view word, std::string_view side) {
  if (word == "stop")
    record.stop();
  else if (word == "start")
    record.start();
  else if (word == "pause")
    record.pause();
  else if (word == "unpause")
    record.unpause();
  else
    throw utils::RuntimeError("could not control " + std::string(side) + " with case " +
                              std::string(word));
}

}  // namespace velmora::model
