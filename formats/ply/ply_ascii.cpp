// The ASCII half of the PLY streamer: lines read, decoded and patched.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"
#include "formats/ply/ply_streamer.h"

namespace levelling {

bool PlyStreamer::decode_ascii(const PlyElement &element, std::string_view line,
                               std::vector<double> *values) {
  split_tokens(line, &tokens_);
  values->clear();
  size_t token = 0;
  const auto take = [&](PlyType type, const std::string &name) {
    if (token == tokens_.size()) {
      return fail(StreamFault::kMalformed, at_line() + "too few values for " + element.name);
    }
    double value = 0.0;
    const std::string_view text =
        line.substr(tokens_[token].first, tokens_[token].second - tokens_[token].first);
    if (!parse_ply_token(type, text, &value)) {
      return fail(StreamFault::kMalformed, at_line() + "'" + std::string(text.substr(0, 40)) +
                                               "' is not a " + ply_type_name(type) + " (" +
                                               name + ")");
    }
    values->push_back(value);
    ++token;
    return true;
  };
  for (const PlyProperty &property : element.properties) {
    if (!property.is_list) {
      if (!take(property.type, property.name)) {
        return false;
      }
      continue;
    }
    if (!take(property.count_type, property.name) || values->back() < 0) {
      return fail_unless_failed(StreamFault::kMalformed, at_line() + "a negative list count");
    }
    const int64_t count = int64_t(values->back());
    if (count > kMaxListItems) {
      return fail(StreamFault::kUnsupported, at_line() + "a list of " + std::to_string(count) +
                                                 " items in " + element.name + " (at most " +
                                                 std::to_string(kMaxListItems) + " are taken)");
    }
    for (int64_t i = 0; i < count; ++i) {
      if (!take(property.type, property.name)) {
        return false;
      }
    }
  }
  if (token != tokens_.size()) {
    return fail(StreamFault::kMalformed, at_line() + "more values than the properties of " +
                                             element.name + " take");
  }
  return true;
}


// The next non-blank ASCII line (without its line end) and the bytes it takes with any blank
// lines before it, left unconsumed; false at the end of the input.
bool PlyStreamer::next_ascii_line(std::string_view *line, size_t *length) {
  size_t at = 0;
  for (;;) {
    size_t available = in_->fill(at + 1);
    if (available == at) {
      return false;
    }
    const void *newline;
    while ((newline = std::memchr(in_->data() + at, '\n', available - at)) == nullptr) {
      const size_t more = in_->fill(available + kPiece);
      if (more == available) {
        break;
      }
      if (more - at > kLongestLine) {
        fail(StreamFault::kMalformed, at_line() + "a line longer than 16 MiB");
        return false;
      }
      available = more;
    }
    const size_t end = newline != nullptr
                           ? size_t(static_cast<const char *>(newline) - in_->data()) + 1
                           : available;
    ++line_number_;
    std::string_view text(in_->data() + at, end - at);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.remove_suffix(1);
    }
    bool blank = true;
    for (char c : text) {
      blank = blank && is_blank(c);
    }
    if (!blank) {
      *line = text;
      *length = end;
      return true;
    }
    at = end;
  }
}

bool PlyStreamer::ascii_vertices(const PlyElement &element) {
  // One vertex a line; the lines of a block are looked at, visited, then written.
  struct Pending {
    std::string text;  // the line with its line end, and any blank lines before it (when
                       // written in the same encoding)
    size_t token_begin[2 * kAxes], token_end[2 * kAxes];
  };
  std::vector<Pending> pending;
  std::vector<double> decoded;  // every value of the block's vertices, when converting
  const size_t stride = element.properties.size();
  for (int64_t done = 0; done < element.count;) {
    pending.clear();
    decoded.clear();
    reset_block(&block_, 0);
    size_t pending_bytes = 0;
    while (done + int64_t(pending.size()) < element.count &&
           pending.size() < kAsciiBlockVertices && pending_bytes < kAsciiBlockBytes &&
           decoded.size() < kAsciiBlockValues) {
      std::string_view line;
      size_t length = 0;
      if (!next_ascii_line(&line, &length)) {
        return fail_unless_failed(StreamFault::kMalformed,
                    "truncated: the file ends after " +
                        std::to_string(done + int64_t(pending.size())) + " of " +
                        std::to_string(element.count) + " vertices");
      }
      if (!decode_ascii(element, line, &values_)) {
        return false;
      }
      Pending each;
      if (writing_ && same_) {
        each.text.assign(in_->data(), length);
      }
      pending_bytes += each.text.size() + sizeof(Pending);
      const size_t line_offset = size_t(line.data() - in_->data());
      for (int k = 0; k < kAxes; ++k) {
        const size_t c = size_t(coordinate_[k]);
        each.token_begin[k] = line_offset + tokens_[c].first;
        each.token_end[k] = line_offset + tokens_[c].second;
        if (block_.has_normals) {
          const size_t n = size_t(normal_[k]);
          each.token_begin[kAxes + k] = line_offset + tokens_[n].first;
          each.token_end[kAxes + k] = line_offset + tokens_[n].second;
        }
        const double value = values_[c];
        if (!std::isfinite(value) &&
            !is_empty_point(values_[size_t(coordinate_[0])], values_[size_t(coordinate_[1])],
                            values_[size_t(coordinate_[2])])) {
          return fail(StreamFault::kMalformed,
                      at_line() + kCoordinateNames[k] + " is not a finite number");
        }
        (k == 0 ? block_.x : k == 1 ? block_.y : block_.z).push_back(value);
        if (block_.has_normals) {
          (k == 0 ? block_.nx : k == 1 ? block_.ny : block_.nz).push_back(values_[size_t(normal_[k])]);
        }
      }
      in_->consume(length);
      if (writing_ && !same_) {
        decoded.insert(decoded.end(), values_.begin(), values_.end());
      }
      pending.push_back(std::move(each));
    }
    block_.count = pending.size();
    if (!visit_block()) {
      return false;
    }
    if (writing_) {
      char number[kNumberTextSize];
      for (size_t i = 0; i < pending.size(); ++i) {
        const Pending &each = pending[i];
        if (!same_) {
          const auto first = decoded.begin() + std::ptrdiff_t(i * stride);
          values_.assign(first, first + std::ptrdiff_t(stride));
          write_vertex(&values_, i);
          continue;
        }
        // The line as it came, with the new coordinates (and normals) in place of the old.
        const double replaced[2 * kAxes] = {
            block_.x[i], block_.y[i], block_.z[i],
            block_.has_normals ? block_.nx[i] : 0.0, block_.has_normals ? block_.ny[i] : 0.0,
            block_.has_normals ? block_.nz[i] : 0.0};
        const int fields = block_.has_normals ? 2 * kAxes : kAxes;
        int order[2 * kAxes];
        for (int f = 0; f < fields; ++f) {
          order[f] = f;
        }
        // The replaced tokens in the order they stand on the line (an insertion sort of six).
        for (int f = 1; f < fields; ++f) {
          for (int g = f; g > 0 && each.token_begin[order[g]] < each.token_begin[order[g - 1]];
               --g) {
            std::swap(order[g], order[g - 1]);
          }
        }
        size_t at = 0;
        for (int f = 0; f < fields; ++f) {
          const int field = order[f];
          const PlyType type = element.properties[size_t(
              field < kAxes ? coordinate_[field] : normal_[field - kAxes])].type;
          options_.write.out->write(each.text.data() + at, each.token_begin[field] - at);
          if (std::isnan(replaced[field])) {
            // An empty point (or its normal) stays as it was written.
            options_.write.out->write(each.text.data() + each.token_begin[field],
                                each.token_end[field] - each.token_begin[field]);
          } else {
            options_.write.out->write(number, type == PlyType::kFloat32
                                            ? format_number(float(replaced[field]), number)
                                            : format_number(replaced[field], number));
          }
          at = each.token_end[field];
        }
        options_.write.out->write(each.text.data() + at, each.text.size() - at);
      }
    }
    done += int64_t(pending.size());
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  return true;
}


bool PlyStreamer::ascii_records(const PlyElement &element) {
  for (int64_t done = 0; done < element.count; ++done) {
    std::string_view line;
    size_t length = 0;
    if (!next_ascii_line(&line, &length)) {
      return fail_unless_failed(StreamFault::kMalformed, "truncated: the file ends after " +
                                               std::to_string(done) + " of " +
                                               std::to_string(element.count) + " " +
                                               element.name + " records");
    }
    if (!decode_ascii(element, line, &values_)) {
      return false;
    }
    if (writing_ && same_) {
      options_.write.out->write(in_->data(), length);
    } else if (writing_) {
      writer_->record(element, values_);
    }
    in_->consume(length);
  }
  return true;
}

}  // namespace levelling
