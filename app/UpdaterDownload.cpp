// Choice, validation and download of builds; build listings.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>

#include "BirdFile.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"
#include "base64.h"

namespace {

using Level = UpdaterDisplayInterface::Level;
constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);
constexpr const char* kSpinnerLabel = "Downloading";

// What the download worker needs; moved into the worker thread.
struct DownloadJob {
    Updater* updater;
    std::promise<bool> result;
    uint32_t serialNumber;
    std::string firmwareId;
    std::string build;
    std::string& birdText;
    bool noCal;
};

void downloadWorker(DownloadJob job)
{
    try {
        const std::string& url = job.updater->GetServerUrl();
        const bool ok = UpdateServerRequest::GetBuild(job.serialNumber, job.firmwareId.c_str(), job.build.c_str(),
                                                      job.birdText, url.empty() ? nullptr : url.c_str(), job.noCal);
        job.result.set_value(ok);
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "Download worker: %s\n", e.what());
        job.result.set_value(false);
    }
}

std::optional<uint32_t> buildNumber(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return UpdateServerReply::ParseUnsigned(text, 10);
}

bool looksLikeBird(const unsigned char* data, size_t length)
{
    return length >= 6 && std::memcmp(data, "bird", 4) == 0 && data[4] != 0 && data[5] != 0;
}

const char* urlOrDefault(const std::string& url)
{
    return url.empty() ? nullptr : url.c_str();
}

}  // namespace

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& directory, const char* caller)
{
    try {
        return std::make_unique<UpdaterStore>(directory.c_str());
    } catch (const std::runtime_error& e) {
        display.message(Level::MSG_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
        return nullptr;
    }
}

bool Updater::_valid_build(uint32_t serialNumber, uint32_t build, const char* serverUrl)
{
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl)) return false;
    for (const auto& entry : builds) {
        const auto number = buildNumber(entry.first);
        // A listing that is not a build number names no build, not build 0.
        if (!number) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            continue;
        }
        if (*number == build) return true;
    }
    return false;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build, bool skipValidation, bool noCal)
{
    uint32_t requested = 0;
    if (!build.empty()) {
        const auto number = buildNumber(build);
        if (!number) {
            display.message(Level::MSG_ERROR, "Build number '%s' must be an number", build.c_str());
            return 0;
        }
        requested = *number;
    }
    if (serialNumber == 0) {
        display.message(Level::MSG_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = urlOrDefault(serverUrl);
    if (!UpdateServerRequest::ping(url)) {
        display.message(Level::MSG_ERROR, "Server request failed for %s", url ? url : UpdateServerRequest::DEFAULT_URL);
        return 0;
    }

    auto store = _createUpdaterStore(display, storageDirectory, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem item;
    if (!store->FindDevice(serialNumber, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serialNumber);
        } catch (const std::runtime_error&) {
            display.message(Level::MSG_ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latestBuild, firmwareId;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latestBuild, firmwareId, url)) {
        display.message(Level::MSG_ERROR, "No build information for device");
        return 0;
    }
    if (requested == 0) {
        const auto latest = buildNumber(latestBuild);
        if (latest)
            requested = *latest;
        else
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latestBuild.c_str());
    }

    display.message(Level::MSG_INFO, "Retrieving build %u", requested);
    if (skipValidation) {
        display.message(Level::MSG_INFO, "Override specified, skipping validation of build %u", requested);
    } else {
        display.message(Level::MSG_INFO, "Validating build %u with server", requested);
        if (!_valid_build(serialNumber, requested, url)) {
            display.message(Level::MSG_ERROR, "No valid build %u", requested);
            return 0;
        }
        display.message(Level::MSG_INFO, "Build %u is valid", requested);
    }

    build = std::to_string(requested);
    std::string birdText;
    std::promise<bool> promise;
    std::future<bool> done = promise.get_future();
    std::thread worker;
    try {
        worker = std::thread(downloadWorker,
                             DownloadJob{this, std::move(promise), serialNumber, firmwareId, build, birdText, noCal});
    } catch (const std::system_error& e) {
        Log::log(DEBUG_Updater, "Download_Firmware: cannot start worker: %s\n", e.what());
        display.message(Level::MSG_ERROR, "Download failed");
        return 0;
    }

    display.update_spinner(true, kSpinnerLabel);
    while (done.wait_for(kSpinnerPeriod) != std::future_status::ready) display.update_spinner(true, kSpinnerLabel);
    display.update_spinner(false, kSpinnerLabel);
    const bool fetched = done.get();
    worker.join();
    if (!fetched) display.message(Level::MSG_ERROR, "Download failed");

    if (birdText.empty()) {
        display.message(Level::MSG_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string fileName = build + ".bird";
    // Decoded over the text itself: firmware files can be large.
    const size_t textLength = birdText.size();
    const bool decoded = base64_decode_in_place(birdText);
    // Storing something that is not firmware would only fail later, at update time.
    if (!decoded || !looksLikeBird(reinterpret_cast<const unsigned char*>(birdText.data()), birdText.size())) {
        Log::log(DEBUG_Updater, "Download_Firmware: %zu characters received for build %s are %s\n", textLength,
                 build.c_str(), decoded ? "not a BIRD file" : "not base64");
        display.message(Level::MSG_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    std::string date = KeyValueStore::TimeStamp();
    const aErr written = item.WriteFile(fileName.c_str(), reinterpret_cast<const unsigned char*>(birdText.data()),
                                        birdText.size());
    std::string().swap(birdText);
    if (written != aErrNone) {
        // Recording a download whose file is not there would mislead the update step.
        display.message(Level::MSG_ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    std::string name = fileName;
    item.attributes.Add("LATEST_DOWNLOAD", name);
    item.attributes.Add("LAST_DOWNLOAD_DATE", date);
    item.attributes.Save(nullptr);
    return requested;
}

BuildList Updater::Get_BuildList(uint32_t serialNumber)
{
    BuildList builds;
    const char* url = urlOrDefault(serverUrl);
    if (!UpdateServerRequest::ping(url)) {
        display.message(Level::MSG_ERROR, "Server request failed for %s", url ? url : UpdateServerRequest::DEFAULT_URL);
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url))
        display.message(Level::MSG_ERROR, "Failed to retrieve builds for %08X", serialNumber);
    return builds;
}

BuildList Updater::Get_BuildListLocal(uint32_t serialNumber)
{
    BuildList builds;
    auto store = _createUpdaterStore(display, storageDirectory, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serialNumber, items);
    for (const auto& item : items) {
        const size_t dot = item.name.find(".bird");
        std::string key = item.name.substr(0, dot);
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.basePath + "/" + item.name;
            if (BirdFile::VerifyFile(path.c_str())) {
                try {
                    version = BirdFile(path.c_str()).GetVersion();
                } catch (const std::runtime_error&) {
                    Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
                }
                if (!version.empty()) Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(std::move(key), std::move(version));
    }
    return builds;
}

void Updater::_display_builds(UpdaterDisplayInterface& display, BuildList& builds, uint32_t serialNumber)
{
    if (builds.empty()) {
        display.message(Level::MSG_INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(Level::MSG_INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(Level::MSG_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(Level::MSG_INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}
