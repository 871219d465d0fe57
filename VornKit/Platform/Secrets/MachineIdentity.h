// MachineIdentity: what this machine says about itself: an identifier derived from its machine id
// for one application (or vendor), and the name a user knows it by.
//
// LinuxMachineIdentity reads /etc/machine-id and derives the id as systemd's
// sd_id128_get_machine_app_specific() does (HMAC-SHA256 keyed with the machine id over the
// application id, the first 16 bytes marked as a version 4 UUID), so the machine id itself never
// leaves the machine. The name is the pretty host name from systemd-hostnamed over the system bus,
// else PRETTY_HOSTNAME from /etc/machine-info, else the kernel's host name.
// FixedMachineIdentity is the test double.
//
// Thread rule: thread-safe; every call reads afresh (nothing is cached).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/Uuid.h"

namespace vk {

class DBusConnection;

/// What this machine says about itself: an application-specific id and its user-visible name.
/// Thread-safe; every call reads afresh.
class VK_EXPORT MachineIdentity {
  public:
    virtual ~MachineIdentity() = default;

    /// The id of this machine for `applicationId`; absent when the machine has no usable id.
    virtual std::optional<Uuid> applicationSpecificId(const Uuid& applicationId) const = 0;
    /// The user-visible name of this machine; absent when it has none.
    virtual std::optional<std::string> deviceName() const = 0;

    /// The installed identity, else a LinuxMachineIdentity with the standard paths.
    static std::shared_ptr<MachineIdentity> shared();
    /// Replaces the process's identity (a host's own, a test's FixedMachineIdentity); nullptr
    /// brings back the default on the next shared(). Thread-safe.
    static void install(std::shared_ptr<MachineIdentity> identity);
};

/// The identity of a Linux machine: /etc/machine-id and the pretty host name (see the top of this
/// file).
class VK_EXPORT LinuxMachineIdentity : public MachineIdentity {
  public:
    /// Where the machine's files are read from (tests point them into a temporary directory).
    struct Paths {
        /// The machine id file.
        std::filesystem::path machineId = "/etc/machine-id";
        /// The machine-info file holding PRETTY_HOSTNAME.
        std::filesystem::path machineInfo = "/etc/machine-info";
    };
    /// How long the host-name question to systemd-hostnamed may take.
    static constexpr std::chrono::milliseconds kHostnamedTimeout{1000};

    /// The standard paths and the shared system bus.
    LinuxMachineIdentity();
    /// `systemBus` null: the shared system-bus connection, looked up at each call.
    explicit LinuxMachineIdentity(Paths paths, std::shared_ptr<DBusConnection> systemBus = {});

    std::optional<Uuid> applicationSpecificId(const Uuid& applicationId) const override;
    std::optional<std::string> deviceName() const override;

    /// The machine id in `path` (32 hexadecimal digits); absent when missing or not an id.
    static std::optional<Uuid> readMachineId(const std::filesystem::path& path);
    /// The application-specific id of `machineId` for `applicationId`.
    static Uuid deriveApplicationSpecificId(const Uuid& machineId, const Uuid& applicationId);
    /// PRETTY_HOSTNAME from a machine-info file (shell-style quoting undone); absent when unset.
    static std::optional<std::string> readPrettyHostName(const std::filesystem::path& path);
    /// The pretty host name systemd-hostnamed reports on `bus`; absent when none or empty.
    static std::optional<std::string> hostnamedPrettyHostName(DBusConnection& bus);

  private:
    Paths paths_;
    std::shared_ptr<DBusConnection> systemBus_;
};

/// Test double: answers what it was given.
class VK_EXPORT FixedMachineIdentity : public MachineIdentity {
  public:
    /// `id` is returned for every application id; `name` is the device name (either may be absent).
    FixedMachineIdentity(std::optional<Uuid> id, std::optional<std::string> name)
        : id_(id), name_(std::move(name)) {}
    std::optional<Uuid> applicationSpecificId(const Uuid&) const override { return id_; }
    std::optional<std::string> deviceName() const override { return name_; }

  private:
    std::optional<Uuid> id_;
    std::optional<std::string> name_;
};

}  // namespace vk
