#pragma once
// A node that has run for a long time, for benchmarks: its working folder (its identity, a key pair
// and "mid.bin", and stores of jobs that ran to completion) and a backend that lists many devices.

#include <filesystem>
#include <memory>
#include <string>

#include "testing/fake_backend.hpp"
#include "velmora/sealcraft/keys.hpp"

namespace velmora::bench {

// Writes "priv.key", "pub.key" and "mid.bin" (node_id) of a new key pair into work; answers the
// public key, for the fake backend to check the node's signatures with.
std::shared_ptr<const sealcraft::PublicKey> write_node_identity(const std::filesystem::path& work,
                                                                const std::string& node_id);

// Writes "launches.bin" and "landings.bin" into work: launches of node_id to another device and
// landings for it, each with the whole history of a job that completed (a launch with its
// results filed).
void write_job_stores(const std::filesystem::path& work, const std::string& node_id, int launches,
                      int landings);

// Scripts the device-list answer (testing::device_list_answer(devices)) for the next requests of
// backend, a few beyond those that came so far; called again and again, it keeps every request
// answered with the list. scripted counts the answers scripted, 0 at first.
void keep_listing_devices(testing::FakeBackend& backend, int devices, int& scripted);

}  // namespace velmora::bench
