// The hidden name a new file has beside its output while it is written, the
// same for the program and the page: ".mapdown-", the writer's tag where it
// has one (the page's tab, whose files another tab may clear once that tab is
// gone), sixteen hex digits that differ from call to call, ".tmp".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Room for a hidden temporary name, its final NUL included.
constexpr std::size_t temporary_name_size = 48;
// A writer's tag: up to this many lower-case letters and digits.
constexpr std::size_t most_tag_size = 16;

// Makes the name from `seed`, which the caller makes differ from call to
// call (a name already taken is tried again with another); `tag` is "" for
// the program. It needs no allocation: it is made while a new file is open.
// False where the tag is not one.
bool make_temporary_name(std::uint64_t seed, std::string_view tag,
                         char (&name)[temporary_name_size]);

// The tag in `name` (a view within it) when it is a hidden name of this form
// with a tag; "" for every other name, the program's own hidden names among
// them.
std::string_view tag_of_temporary_name(std::string_view name);
