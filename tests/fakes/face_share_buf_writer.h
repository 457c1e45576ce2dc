// Plays the camera software's side of the face share buffer for the
// share-buffer stand-in: writes face images and face lists into its
// directory, each file put in place whole (written aside, then renamed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq_test {

// One tracked face of a face list.
struct FaceGroup {
  uint64_t timestamp = 0;
  int datatype = 0;
  int objectID = 0;
  int top = 0;
  int left = 0;
  int bottom = 0;
  int right = 0;
  double confidence = 0;
  double quality = 0;
  double roll = 0;
  double pitch = 0;
  double yaw = 0;
};

class FaceShareBufWriter {
 public:
  explicit FaceShareBufWriter(std::string directory);

  const std::string& directory() const { return directory_; }
  void PutImage(uint64_t timestamp, int datatype, int objectID, const std::string& bytes) const;
  void PutList(uint64_t seq, const std::string& text) const;
  // The face list the camera software writes for `groups` ("Group_Num" = their count).
  static std::string ListText(const std::vector<FaceGroup>& groups);
  // "datatype=..&timestamp=..&objectID=.." of a group.
  static std::string QueryOf(const FaceGroup& group);

 private:
  void PutWhole(const std::string& path, const std::string& bytes) const;

  std::string directory_;
};

}  // namespace zq_test
