#include "aliasing.h"

#include <algorithm>

#include "platform.h"
#include "slice_names.h"

namespace {

bool comes_before(const FileIdentity &a, const FileIdentity &b) {
  return a.device != b.device ? a.device < b.device : a.file < b.file;
}

}  // namespace

bool inputs_may_alias_outputs(const std::vector<int> &candidates, int bit) {
  std::vector<FileIdentity> outputs;
  std::vector<FileIdentity> inputs;
  for (int number : candidates) {
    char name[32];
    FileIdentity identity;
    input_name_for(number, name);
    NameTarget input = identify_name(name, &identity);
    if (input == kNameDanglingLink) return true;
    if (input == kNameMissing) continue;
    inputs.push_back(identity);
    output_name_for(number, bit, name);
    NameTarget output = identify_name(name, &identity);
    if (output == kNameDanglingLink) return true;
    if (output == kNameFile) outputs.push_back(identity);
  }
  std::sort(outputs.begin(), outputs.end(), comes_before);
  for (const FileIdentity &input : inputs) {
    if (std::binary_search(outputs.begin(), outputs.end(), input, comes_before)) return true;
  }
  return false;
}
