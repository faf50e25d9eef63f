#pragma once
// Which model wrote a capture's pair, so that --skip-done skips only pairs of
// the model it runs.
//
// The model's fingerprint is FNV-1a 64 over its files saved_model.pb and
// everything under variables/, in name order: each file's name relative to
// the model folder, a zero byte, its size as 8 little-endian bytes, and its
// contents. 16 lower-case hexadecimal digits.
//
// The record of a uuid is the file ".model_records/<uuid>" in the matches
// folder, holding the fingerprint and a line feed. It is written only by runs
// given an option (a plain run leaves the matches folder as it always did)
// and changed only under the exclusive lock on ".publish.lock", around the
// steps in result_files.h: the old record is removed before the old pair is
// touched, and the new one is written after the new pair is in place. So a
// kill anywhere leaves the record of the pair in place, or no complete record
// (a partial one never matches); a pair without a matching record is
// recomputed by --skip-done.

#include <string>

namespace lf {

// Empty when saved_model.pb or a file under variables/ cannot be read.
std::string model_fingerprint(const std::string& model_path);

// The record's path, in the form of `matches_folder`.
std::string model_record_path(const std::string& matches_folder, const std::string& uuid);

// Callers hold the exclusive publish lock. Each returns 0, or the errno of the
// failure. A record that is not there (nor its folder) counts as removed; one
// that stays must stop the publish, or it would vouch for another model's pair.
int remove_model_record(const std::string& matches_folder, const std::string& uuid);
// Nothing is written for an empty fingerprint (a plain run).
int write_model_record(const std::string& matches_folder, const std::string& uuid, const std::string& fingerprint);

// True when the uuid's record holds exactly this (non-empty) fingerprint.
// Callers hold at least the shared publish lock.
bool model_record_matches(const std::string& matches_folder, const std::string& uuid, const std::string& fingerprint);

}  // namespace lf
