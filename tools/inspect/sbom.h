// `fenwix sbom`: a software bill of materials of a built launcher, as
// CycloneDX 1.5 JSON, read from the launcher alone: one component per packed
// file (its path, size and SHA-256, and for a program or library the names
// and version its version resource gives), the launcher itself as the
// subject. Nothing is unpacked to disk and no file is held whole.
//
// The same launcher gives the same bytes: no time unless
// SOURCE_DATE_EPOCH gives one, and a serial number made from the
// launcher's own digest, so a vendor's release can be checked against it.
#pragma once

#include <string>

struct sbom_request {
    std::string launcher;
    std::string output;             // empty: standard output
    std::string tool_version;       // fenwix's own, named as the tool that wrote it
    const char* source_date_epoch;  // the variable's value, or nullptr when unset
};

// Writes the document whole, or throws tool_error with nothing written.
void run_sbom(const sbom_request& request);

// The bill's pure pieces, for the tests.
// SOURCE_DATE_EPOCH, seconds since 1970, as an ISO 8601 UTC time
// ("2023-11-14T22:13:20Z"); throws tool_error when it is no such number.
std::string utc_timestamp(const std::string& epoch_seconds);
// Text as a JSON string: quotes, backslashes and controls escaped, a lone
// surrogate as its \u escape (it has no UTF-8 form), everything else UTF-8.
std::string json_string(const std::u16string& text);
