// PowerShell text built by the helper: single-quoted literals and the
// identity revalidation fragment that opens every disk script.
#pragma once

#include <string>
#include <string_view>

#include "target/target_identity.h"

namespace wh {

// A single-quoted PowerShell literal whose value is exactly `text`.
// PowerShell ends a single-quoted string not only at the ASCII apostrophe but
// also at U+2018, U+2019, U+201A and U+201B, and reads any of them doubled
// as one such character; each is doubled here, so no text (a label typed as
// "Bob’s card", say) can end the literal and run as code.
std::string ps_quote(std::string_view text);

// "$disk = Get-Disk -Number N …": binds $disk and throws "Target capacity
// changed before <step>" or "Target serial changed before <step>" when the
// disk is no longer the one in `identity`.
std::string build_revalidation_script(const TargetIdentity& identity, std::string_view step);

}  // namespace wh
