// The main sequence's start-up and its publishing after unpacking, in this
// process: a launcher whose block holds no entries returns 0 after unpacking.
#include "launcher/environment.h"
#include "launcher/main_sequence.h"
#include "resources/build_values.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// Build-time values of this test build: a block whose entry stream is just
// the terminator, in one frame of raw blocks with a 2^27 window.
extern "C" {
const wchar_t fenwix_extraction_template[] = L"{CACHE_DIR}\\Orvelle";
const wchar_t fenwix_company_name[] = L"Quenmar Ltd";
const wchar_t fenwix_product_name[] = L"Orvelle";
const wchar_t fenwix_version[] = L"1.26.0.0";
const unsigned char fenwix_payload_block[] = {
    'Q',  'J',  'X',                               // header
    0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x88,            // frame header: window 2^27
    0x11, 0x00, 0x00, 0x00, 0x00,                  // last raw block of 2 bytes: the terminator
    0,    0,    0,    0,                           // zero field
    18,   0,    0,    0,    0,    0,    0,    0};  // trailer: bytes before it
const std::uint64_t fenwix_payload_block_length = sizeof fenwix_payload_block;
}

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n ? std::wstring(value, n) : std::wstring(L"(unset)");
}

TEST(MainSequenceTest, PreparesAndPublishesTheLauncherVariables) {
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_RANDOM", L"inheritedRnd");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_START", L"133000000000000000");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_TIME_US", L"000042");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_PARENT", L"999999");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_DIRECTORY", nullptr);

    wchar_t argv0[] = L"relative\\Tool";
    wchar_t* argv[] = {argv0, nullptr};
    EXPECT_EQ(run_launcher(1, argv), 0);

    EXPECT_EQ(variable(L"FENWIX_ONEFILE_RANDOM"), L"(unset)");
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_START"), L"(unset)");
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_TIME_US"), L"(unset)");
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_PARENT"), std::to_wstring(GetCurrentProcessId()));
    EXPECT_EQ(variable(L"FENWIX_ORIGINAL_ARGV0"), L"relative\\Tool");
    std::wstring own = get_own_path();
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_DIRECTORY"), own.substr(0, own.rfind(L'\\')));
}

}  // namespace
