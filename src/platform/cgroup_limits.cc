// Control group limits, read from the files the kernel shows. Fixed buffers
// only: the figures are read before anything else and must never fail or
// allocate beyond what the C library's stream needs.
#include "cgroup_limits.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPathSize = 4096;

// Reads `file` line by line; a line too long for the buffer is passed over
// whole. `visit` returns false to stop.
template <typename Visit>
void for_each_line(const char *file, Visit visit) {
  FILE *stream = fopen(file, "re");
  if (stream == nullptr) return;
  char line[kPathSize];
  bool continued = false;  // the buffer holds the tail of an overlong line
  while (fgets(line, sizeof line, stream) != nullptr) {
    size_t length = strlen(line);
    bool whole = length > 0 && line[length - 1] == '\n';
    if (whole) line[--length] = '\0';
    bool skip = continued || (!whole && !feof(stream));
    continued = !whole && !feof(stream);
    if (!skip && !visit(line)) break;
  }
  fclose(stream);
}

// The whole of a small file, ended by a zero byte; false when it cannot be
// read or does not fit.
bool read_small_file(const char *file, char *text, size_t size) {
  FILE *stream = fopen(file, "re");
  if (stream == nullptr) return false;
  size_t length = fread(text, 1, size - 1, stream);
  bool whole = !ferror(stream) && feof(stream);
  fclose(stream);
  text[length] = '\0';
  return whole;
}

// A decimal number without sign. With `rest`, where it ends goes there;
// without, only blanks and line feeds may follow it. False for anything
// else.
bool parse_count(const char *text, uint64_t *value, const char **rest = nullptr) {
  if (*text < '0' || *text > '9') return false;
  uint64_t result = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (result > (UINT64_MAX - 9) / 10) return false;
    result = result * 10 + static_cast<uint64_t>(*text - '0');
  }
  *value = result;
  if (rest != nullptr) {
    *rest = text;
    return true;
  }
  while (*text == ' ' || *text == '\n') ++text;
  return *text == '\0';
}

bool copy_text(char *destination, size_t size, const char *begin, size_t length) {
  if (length >= size) return false;
  memcpy(destination, begin, length);
  destination[length] = '\0';
  return true;
}

bool join_path(char *destination, size_t size, const char *first, const char *second) {
  int length = snprintf(destination, size, "%s%s", first, second);
  return length >= 0 && static_cast<size_t>(length) < size;
}

// True when the comma-separated `list` holds `word`.
bool list_holds(const char *list, size_t list_length, const char *word) {
  size_t word_length = strlen(word);
  const char *end = list + list_length;
  for (const char *item = list; item < end;) {
    const char *comma = static_cast<const char *>(memchr(item, ',', static_cast<size_t>(end - item)));
    const char *item_end = comma != nullptr ? comma : end;
    if (static_cast<size_t>(item_end - item) == word_length && memcmp(item, word, word_length) == 0) return true;
    item = item_end + 1;
  }
  return false;
}

// Which hierarchy is looked for: version 2 (controller empty), or the
// version 1 hierarchy that holds `controller`.
struct Hierarchy {
  const char *controller;  // "memory", "cpu", or "" for version 2
};

// The process's group in that hierarchy, from proc/self/cgroup lines
// "id:controllers:path".
bool find_group(const char *root, Hierarchy hierarchy, char *group, size_t size) {
  char file[kPathSize];
  if (!join_path(file, sizeof file, root, "/proc/self/cgroup")) return false;
  bool found = false;
  for_each_line(file, [&](const char *line) {
    const char *first = strchr(line, ':');
    if (first == nullptr) return true;
    const char *second = strchr(first + 1, ':');
    if (second == nullptr) return true;
    size_t controllers = static_cast<size_t>(second - first - 1);
    bool version2 = controllers == 0 && first - line == 1 && line[0] == '0';
    bool wanted = *hierarchy.controller == '\0' ? version2
                                                : list_holds(first + 1, controllers, hierarchy.controller);
    if (!wanted || second[1] != '/') return true;
    found = copy_text(group, size, second + 1, strlen(second + 1));
    return !found;
  });
  return found;
}

// Copies a mountinfo field up to the next blank, turning the octal escapes
// of blanks and other characters ("\040") back into those characters.
const char *take_field(const char *text, char *field, size_t size) {
  size_t length = 0;
  while (*text != '\0' && *text != ' ') {
    char c = *text++;
    if (c == '\\' && text[0] >= '0' && text[0] <= '3' && text[1] >= '0' && text[1] <= '7' && text[2] >= '0' &&
        text[2] <= '7') {
      c = static_cast<char>((text[0] - '0') * 64 + (text[1] - '0') * 8 + (text[2] - '0'));
      text += 3;
    }
    if (length + 1 >= size) return nullptr;
    field[length++] = c;
  }
  field[length] = '\0';
  while (*text == ' ') ++text;
  return text;
}

// True when the group `group` lies at or below `mount_root` in the
// hierarchy, so that the mount shows it.
bool root_leads_to(const char *mount_root, const char *group) {
  if (strcmp(mount_root, "/") == 0) return true;
  size_t length = strlen(mount_root);
  return strncmp(group, mount_root, length) == 0 && (group[length] == '\0' || group[length] == '/');
}

// Where the hierarchy is mounted: the mount point and the group the mount
// shows at that point (its root within the hierarchy), from
// proc/self/mountinfo lines "id parent dev root mount-point options
// [optional...] - type source super-options". A hierarchy may be mounted
// more than once, each mount showing a part of it: of the mounts that show
// `group`, the one with the shortest root, which shows the most groups
// above it; when none shows it (a container's own view), the first.
bool find_mount(const char *root, Hierarchy hierarchy, const char *group, char *mount_root, char *mount_point,
                size_t size) {
  char file[kPathSize];
  if (!join_path(file, sizeof file, root, "/proc/self/mountinfo")) return false;
  bool found = false;
  bool leads = false;  // the mount found shows the group
  for_each_line(file, [&](const char *line) {
    char field[kPathSize], this_root[kPathSize], this_point[kPathSize];
    const char *text = line;
    for (int i = 0; i < 3 && text != nullptr; ++i) text = take_field(text, field, sizeof field);
    if (text == nullptr || (text = take_field(text, this_root, sizeof this_root)) == nullptr ||
        (text = take_field(text, this_point, sizeof this_point)) == nullptr) {
      return true;
    }
    const char *separator = strstr(text, " - ");
    if (separator == nullptr) return true;
    text = separator + 3;
    char type[64];
    if ((text = take_field(text, type, sizeof type)) == nullptr) return true;
    if ((text = take_field(text, field, sizeof field)) == nullptr) return true;  // the source
    bool wanted = *hierarchy.controller == '\0'
                      ? strcmp(type, "cgroup2") == 0
                      : strcmp(type, "cgroup") == 0 && list_holds(text, strlen(text), hierarchy.controller);
    if (!wanted) return true;
    bool this_leads = root_leads_to(this_root, group);
    bool better = !found || (this_leads && (!leads || strlen(this_root) < strlen(mount_root)));
    if (better && copy_text(mount_root, size, this_root, strlen(this_root)) &&
        copy_text(mount_point, size, this_point, strlen(this_point))) {
      found = true;
      leads = this_leads;
    }
    return true;
  });
  return found;
}

// The directory of the process's group and the directory of the mount
// point, with `root` in front. The group's path starts with the mount's
// root when the mount shows a part of the hierarchy; a group outside what
// the mount shows (a container's own view) stands at the mount point.
bool locate_group(const char *root, Hierarchy hierarchy, char *group_directory, char *top_directory) {
  char group[kPathSize], mount_root[kPathSize], mount_point[kPathSize];
  if (!find_group(root, hierarchy, group, sizeof group) ||
      !find_mount(root, hierarchy, group, mount_root, mount_point, sizeof mount_root)) {
    return false;
  }
  const char *below = "";
  if (strcmp(mount_root, "/") == 0) {
    below = strcmp(group, "/") == 0 ? "" : group;
  } else if (root_leads_to(mount_root, group)) {
    below = group + strlen(mount_root);
  }
  char top[kPathSize];
  return join_path(top, sizeof top, root, mount_point) && copy_text(top_directory, kPathSize, top, strlen(top)) &&
         join_path(group_directory, kPathSize, top, below);
}

// Calls `read_limit(directory)` for the group's directory and every one
// above it, up to the mount point.
template <typename ReadLimit>
void for_group_and_parents(const char *root, Hierarchy hierarchy, ReadLimit read_limit) {
  char directory[kPathSize], top[kPathSize];
  if (!locate_group(root, hierarchy, directory, top)) return;
  const size_t top_length = strlen(top);
  for (;;) {
    read_limit(directory);
    size_t length = strlen(directory);
    if (length <= top_length) break;
    char *slash = strrchr(directory, '/');
    if (slash == nullptr || static_cast<size_t>(slash - directory) < top_length) break;
    *slash = '\0';
  }
}

// A file of a group's directory, read whole.
bool read_group_file(const char *directory, const char *name, char *text, size_t size) {
  char file[kPathSize];
  int length = snprintf(file, sizeof file, "%s/%s", directory, name);
  return length >= 0 && static_cast<size_t>(length) < sizeof file && read_small_file(file, text, size);
}

void take_least(uint64_t *least, uint64_t value) {
  if (*least == 0 || value < *least) *least = value;
}

// Version 1 shows "no limit" as the largest page-aligned signed value.
constexpr uint64_t kUnlimitedVersion1 = uint64_t{1} << 62;

void read_memory_limits(const char *root, CgroupLimits *limits) {
  for_group_and_parents(root, Hierarchy{""}, [limits](const char *directory) {
    char text[64];
    uint64_t value;
    if (read_group_file(directory, "memory.max", text, sizeof text) && parse_count(text, &value)) {
      take_least(&limits->memory_bytes, value);
    }
  });
  for_group_and_parents(root, Hierarchy{"memory"}, [limits](const char *directory) {
    char text[64];
    uint64_t value;
    if (read_group_file(directory, "memory.limit_in_bytes", text, sizeof text) && parse_count(text, &value) &&
        value < kUnlimitedVersion1) {
      take_least(&limits->memory_bytes, value);
    }
  });
}

void take_least_cpus(double *least, uint64_t quota, uint64_t period) {
  if (quota == 0 || period == 0) return;
  double cpus = static_cast<double>(quota) / static_cast<double>(period);
  if (*least == 0 || cpus < *least) *least = cpus;
}

void read_cpu_limits(const char *root, CgroupLimits *limits) {
  // "max 100000" (none) or "quota period", both in microseconds.
  for_group_and_parents(root, Hierarchy{""}, [limits](const char *directory) {
    char text[64];
    uint64_t quota, period;
    const char *rest;
    if (read_group_file(directory, "cpu.max", text, sizeof text) && parse_count(text, &quota, &rest) &&
        *rest == ' ' && parse_count(rest + 1, &period)) {
      take_least_cpus(&limits->cpus, quota, period);
    }
  });
  // cpu.cfs_quota_us is -1 without a quota, which parse_count refuses.
  for_group_and_parents(root, Hierarchy{"cpu"}, [limits](const char *directory) {
    char text[64];
    uint64_t quota, period;
    if (read_group_file(directory, "cpu.cfs_quota_us", text, sizeof text) && parse_count(text, &quota) &&
        read_group_file(directory, "cpu.cfs_period_us", text, sizeof text) && parse_count(text, &period)) {
      take_least_cpus(&limits->cpus, quota, period);
    }
  });
}

}  // namespace

CgroupLimits read_cgroup_limits(const char *root) {
  CgroupLimits limits;
  read_memory_limits(root, &limits);
  read_cpu_limits(root, &limits);
  return limits;
}

unsigned cpus_within_quota(unsigned affinity, double cpus) {
  unsigned count = affinity > 0 ? affinity : 1;
  if (cpus > 0) {
    double allowed = std::ceil(cpus);
    if (allowed < count) count = static_cast<unsigned>(allowed);
  }
  return count > 0 ? count : 1;
}

MappedMemory read_mapped_memory(const char *root) {
  MappedMemory mapped;
  char file[kPathSize];
  if (!join_path(file, sizeof file, root, "/proc/self/status")) return mapped;
  // Lines "VmSize:\t  19392 kB".
  for_each_line(file, [&mapped](const char *line) {
    uint64_t *field = strncmp(line, "VmSize:", 7) == 0 ? &mapped.address_space
                      : strncmp(line, "VmData:", 7) == 0 ? &mapped.data
                                                          : nullptr;
    if (field == nullptr) return true;
    const char *text = line + 7;
    while (*text == ' ' || *text == '\t') ++text;
    uint64_t kilobytes;
    const char *rest;
    if (parse_count(text, &kilobytes, &rest) && strcmp(rest, " kB") == 0 && kilobytes < (UINT64_MAX >> 10)) {
      *field = kilobytes << 10;
    }
    return true;
  });
  return mapped;
}
