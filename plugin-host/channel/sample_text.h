#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wf::host {

/// Sample blocks as JSON text, read and written directly. A block of 2048
/// samples is most of a "process" line; building and walking a document value
/// per sample costs more than the audio worker's whole budget, so the block
/// skips the document and the rest of the line is parsed as usual.

/// Finds the member "pcm" of the line's top-level object when it is a plain
/// array of numbers, converts each number to a float exactly as a parsed
/// document would (integers through 64-bit integers, everything else through
/// double), and returns the line with that array replaced by an empty array
/// in `rest`. Returns false, leaving the line to the ordinary parser, for
/// anything else: no such member, a name written with escapes, the member
/// twice, an element that is not a number, a number the parser would refuse
/// or one out of a double's range.
bool extractSamples(std::string_view line, std::vector<float>& samples, std::string& rest);

/// Appends the samples as a JSON array of numbers, each float widened to
/// double and written as the document serialiser writes a double (shortest
/// digits that read back to the same double, "1.0" for integral values,
/// exponents as in "1e-05"); values that are not finite become null.
void appendSamples(std::string& out, const std::vector<float>& samples);

}  // namespace wf::host
