// Writing a cloud in a format other than its input's: the reader describes what the cloud holds
// (its schema) and hands the writer each vertex's values and each record of its other elements;
// the writer encodes them. Where the output format is the input's own, readers patch the input's
// bytes instead and no writer is involved. Whether a conversion can keep everything is decided
// before any writing (conversion_refusal in formats/core/cloud_stream.h); a writer is only given what
// its format can hold.
#ifndef LEVELLING_FORMATS_CORE_CLOUD_WRITER_H
#define LEVELLING_FORMATS_CORE_CLOUD_WRITER_H

#include <memory>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/ply_types.h"

namespace levelling {

// What a cloud holds, as its reader describes it.
struct CloudSchema {
  // The vertices: their count and properties in record order (no lists; x, y, z among them).
  PlyElement vertex;
  int coordinate[3] = {0, 1, 2};  // the indices of x, y, z among the properties
  // The input's PLY header (its comments, its other elements), or nullptr for another input.
  const PlyHeader *ply_header = nullptr;
  // The input's family, for a header written from scratch.
  CloudFamily source = CloudFamily::kText;
};

class CloudWriter {
 public:
  virtual ~CloudWriter() = default;
  // Writes what comes before the vertices (a header, a line naming the columns).
  virtual void begin(const CloudSchema &schema) = 0;
  // One vertex: values[k] for the schema's property k (coordinates already visited).
  virtual void vertex(const double *values) = 0;
  // One record of an element after the vertices: its values, each list as its count followed
  // by its items (PLY only).
  virtual void record(const PlyElement &element, const std::vector<double> &values) = 0;
  // Writes what comes after the last vertex (a whole compressed cloud, a header's totals).
  virtual void finish() {}
  // Why a value could not be written as this format stores it ("" while none failed).
  const std::string &fault() const { return fault_; }

 protected:
  // Counts a vertex and checks that every value of a float property holds in a float (a levelled
  // coordinate may leave its range); the first that does not is the writer's fault. False then.
  bool check_vertex(const PlyElement &vertex, const double *values);

  std::string fault_;
  int64_t vertices_ = 0;  // counted by check_vertex
};

// The writer of the options' output (options.write.row's writer, of options.write.format onto
// options.write.out), with the options' separator and decimals for text, their point count for
// PCD and LAS, their box, motion and scale for LAS.
std::unique_ptr<CloudWriter> make_cloud_writer(const StreamOptions &options);

// The family of the format the settings write (their row's).
CloudFamily written_family(const WriteSettings &write);

}  // namespace levelling

#endif
