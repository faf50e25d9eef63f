#include <algorithm>
#include <cerrno>

#include "results/model_records.h"
#include "results/result_files.h"
#include "results/staged_result_pair.h"
#include "results/temporary_files.h"
#include "workspace/path_utils.h"
#include "platform/files.h"
#include "platform/stop_point.h"

namespace lf {

namespace {

const char* const keypoint_extension = "feat";
const char* const descriptor_extension = "desc";
const char* const publish_lock_name = ".publish.lock";

// The matches folder's lock file, held for as long as the object lives.
// Where the file system offers no locks, the run goes on without them.
class PublishLock : public ScopedFileLock {
 public:
  PublishLock(const std::string& matches_folder, bool exclusive)
      : ScopedFileLock(matches_folder + publish_lock_name, exclusive) {}
};

bool stored_count(const std::string& path, std::uint64_t& count) {
  const FilePtr file = open_file(path, "rb");
  unsigned char header[8];
  if (!file || std::fread(header, 1, sizeof(header), file.get()) != sizeof(header)) return false;
  count = 0;
  for (int i = 7; i >= 0; --i) count = (count << 8) | header[i];
  return true;
}

// The number of line feeds; false when the file cannot be read, or is not
// empty and does not end in CR LF (a last line cut short, or one appended
// without its end).
bool keypoint_line_count(const std::string& path, std::uint64_t& lines) {
  const FilePtr file = open_file(path, "rb");
  if (!file) return false;
  lines = 0;
  char block[65536];
  char last[2] = {'\r', '\n'};
  for (std::size_t read; (read = std::fread(block, 1, sizeof(block), file.get())) > 0;) {
    lines += static_cast<std::uint64_t>(std::count(block, block + read, '\n'));
    last[0] = read >= 2 ? block[read - 2] : last[1];
    last[1] = block[read - 1];
  }
  return !std::ferror(file.get()) && last[0] == '\r' && last[1] == '\n';
}

}  // namespace

StagedResultPair::StagedResultPair(const std::string& matches_folder, const std::string& uuid,
                                   const std::string& model_fingerprint)
    : matches_folder_(matches_folder),
      uuid_(uuid),
      model_fingerprint_(model_fingerprint),
      keypoint_path_(make_file_path(matches_folder, uuid, keypoint_extension)),
      descriptor_path_(make_file_path(matches_folder, uuid, descriptor_extension)) {}

StagedResultPair::~StagedResultPair() {
  descriptors_.close();
  discard(keypoint_part_);
  discard(descriptor_part_);
}

bool StagedResultPair::still_ours(const Temporary& temporary) {
  return !temporary.path.empty() && temporary.claim && path_names_open_file(temporary.path, temporary.claim.get());
}

void StagedResultPair::release(Temporary& temporary) {
  unregister_file(temporary.path);
  temporary.claim.reset();
  temporary.path.clear();
}

void StagedResultPair::discard(Temporary& temporary) {
  if (temporary.path.empty()) return;
  // A file that another process put under this name is not ours to remove.
  if (still_ours(temporary)) remove_file(temporary.path);
  release(temporary);
}

bool StagedResultPair::fail(WriteFault::Kind kind, const std::string& path, int error) {
  fault_ = {kind, path, error};
  return false;
}

FilePtr StagedResultPair::create_temporary(Temporary& temporary) {
  return FilePtr(create_claimed_temporary(matches_folder_, temporary.path, temporary.claim));
}

bool StagedResultPair::write_keypoints(const KeypointList& keypoints) {
  FilePtr file = create_temporary(keypoint_part_);
  if (!file || !write_keypoint_file(std::move(file), keypoints))
    return fail(WriteFault::Kind::result_file, keypoint_path_, errno);
  stop_point("after_keypoint_file");
  return true;
}

bool StagedResultPair::open_descriptors(std::uint64_t count) {
  FilePtr file = create_temporary(descriptor_part_);
  return (file && descriptors_.open(std::move(file), count)) ||
         fail(WriteFault::Kind::result_file, descriptor_path_, errno);
}

bool StagedResultPair::commit() {
  if (keypoint_part_.path.empty() || descriptor_part_.path.empty()) return false;
  if (!descriptors_.close()) return fail(WriteFault::Kind::result_file, descriptor_path_, errno);
  return publish();
}

bool StagedResultPair::publish() {
  const PublishLock lock(matches_folder_, true);
  // Nothing is removed unless both new files are still this object's: had
  // another process taken them (for stale), the older pair must stay.
  for (Temporary* temporary : {&keypoint_part_, &descriptor_part_}) {
    if (!still_ours(*temporary))
      return fail(WriteFault::Kind::result_file, temporary == &keypoint_part_ ? keypoint_path_ : descriptor_path_,
                  ENOENT);
  }
  if (const int error = remove_model_record(matches_folder_, uuid_))
    return fail(WriteFault::Kind::model_record, model_record_path(matches_folder_, uuid_), error);
  remove_file(descriptor_path_);
  if (!replace_file(keypoint_part_.path, keypoint_path_))
    return fail(WriteFault::Kind::result_file, keypoint_path_, errno);
  release(keypoint_part_);
  stop_point("between_renames");
  if (!replace_file(descriptor_part_.path, descriptor_path_)) {
    const int error = errno;
    // Only the keypoint file this object put in place: the lock kept others out.
    remove_file(keypoint_path_);
    return fail(WriteFault::Kind::result_file, descriptor_path_, error);
  }
  release(descriptor_part_);
  if (const int error = write_model_record(matches_folder_, uuid_, model_fingerprint_))
    unkept_record_ = {WriteFault::Kind::model_record, model_record_path(matches_folder_, uuid_), error};
  return true;
}

namespace {

bool pair_is_consistent(const std::string& matches_folder, const std::string& uuid) {
  const std::string keypoint_path = make_file_path(matches_folder, uuid, keypoint_extension);
  const std::string descriptor_path = make_file_path(matches_folder, uuid, descriptor_extension);
  std::uint64_t size = 0, count = 0, lines = 0;
  return regular_file_size(descriptor_path, size) && size >= 8 && stored_count(descriptor_path, count) &&
         count <= (size - 8) / 512 && size == 8 + 512 * count && keypoint_line_count(keypoint_path, lines) &&
         lines == count;
}

}  // namespace

bool result_pair_is_consistent(const std::string& matches_folder, const std::string& uuid) {
  const PublishLock lock(matches_folder, false);
  return pair_is_consistent(matches_folder, uuid);
}

bool result_pair_is_done(const std::string& matches_folder, const std::string& uuid,
                         const std::string& model_fingerprint) {
  const PublishLock lock(matches_folder, false);
  return pair_is_consistent(matches_folder, uuid) && model_record_matches(matches_folder, uuid, model_fingerprint);
}

}  // namespace lf
