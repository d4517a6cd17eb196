// Inputs that an output of the same run may change. A slice read ahead
// must read what it would read after every earlier output is complete;
// when an input and an output can be one file, only reading in order
// guarantees that.
#pragma once

#include <vector>

// True when an existing input among `candidates` is the same file as an
// output name of the run (through a symbolic or a hard link), or when an
// input or output name is a link that leads nowhere yet, which writing an
// output may complete.
bool inputs_may_alias_outputs(const std::vector<int> &candidates, int bit);
