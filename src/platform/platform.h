// The one door to Windows. Every file, drive, volume, process and clock the
// helper touches goes through `Platform` and the `Handle`s it returns, so the
// logic above runs unchanged on the real Win32 layer and on the simulated
// Windows used for tests on other systems. `main` picks the implementation;
// handlers receive it by reference.
//
// Paths and texts are UTF-8. Failures are `OsError` values carrying the Win32
// code and the system's text. Nothing here throws. A path holding U+0000
// fails with ERROR_INVALID_NAME (123) wherever a path is taken: Windows would
// end the name at the NUL and open something else.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.h"

namespace wh {

using Bytes = std::vector<std::uint8_t>;

// Windows PowerShell where a Windows installed in C:\Windows keeps it. The
// helper starts it from the system directory it is given (system_directory),
// never from this spelling and never through a search.
inline constexpr std::string_view kPowerShellPath =
    "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
// The same below the system directory.
inline constexpr std::string_view kPowerShellInSystemDirectory = "\\WindowsPowerShell\\v1.0\\powershell.exe";

// A point on a monotonic clock with an arbitrary origin.
using Instant = std::chrono::nanoseconds;

// Which file a path or handle leads to: the volume's serial number and the
// file's index on it (GetFileInformationByHandle). Two spellings of one file,
// hard links included, give equal identities.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

enum class FileKind { kRegular, kDirectory, kOther };

// What GetVolumeInformationByHandleW tells of the volume a handle is on
// (GetVolumeInformationW of a volume's root gives the same, and its label).
struct VolumeInformation {
  std::string file_system;  // "FAT", "FAT32", "exFAT", "NTFS", "ReFS", ...
  std::uint32_t serial_number = 0;
  std::string label;  // "" when the volume has none
};

// What GetDiskFreeSpaceExW tells of a mounted volume: its file system's
// capacity and the bytes free on it (for everyone, not the caller's quota).
struct VolumeSpace {
  std::uint64_t total_bytes = 0;
  std::uint64_t free_bytes = 0;
};

struct FileStatus {
  // kOther: a device, pipe or anything else that is not a file on a volume.
  FileKind kind = FileKind::kOther;
  FileIdentity identity;  // meaningful for kRegular only
};

// One open Windows handle: a file, a raw physical drive or a volume. The
// destructor closes it (CloseHandle); a failing close is ignored. Operations
// that do not apply to the kind of object (a disk query on a file, say) fail
// with the error Windows gives for them, and so do operations the handle's
// access does not cover: a read through a handle without read access, a write,
// end-of-file change or flush through one without write access fail with
// ERROR_ACCESS_DENIED (5).
//
// Threads: one handle is used by one thread at a time, but different handles
// may transfer (read, write, seek, flush) on different threads at once, as
// Windows allows. Opening and closing handles and every `Platform` method
// stay on the thread that runs the command.
//
// Raw drives follow the disk driver's rules as well: since Windows Vista a
// write through a drive handle into sectors of a volume whose file system is
// mounted fails with 5 unless that volume is locked or dismounted.
class Handle {
 public:
  virtual ~Handle() = default;
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  // Reads up to `buffer.size()` bytes at the current position and advances it.
  // Returns the count read; 0 means end of data. An error with `interrupted`
  // set transferred nothing and should be repeated.
  virtual OsResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;

  // Writes up to `data.size()` bytes at the current position and advances it.
  // Returns the count accepted, which may be less than asked (0 included); the
  // caller loops. `interrupted` as for read.
  virtual OsResult<std::size_t> write(std::span<const std::uint8_t> data) = 0;

  // Moves the position to the absolute byte `offset`, where the next read or
  // write happens (on Win32 the offset of that transfer's OVERLAPPED).
  // Seeking past the end of a file is allowed; offsets above INT64_MAX fail
  // with ERROR_INVALID_PARAMETER (87).
  virtual OsStatus seek(std::uint64_t offset) = 0;

  // Makes the file exactly `length` bytes long (SetFileInformationByHandle
  // with FileEndOfFileInfo). The position is not moved. Lengths above
  // INT64_MAX fail with 87, as for seek.
  virtual OsStatus set_end_of_file(std::uint64_t length) = 0;

  // FSCTL_SET_SPARSE: skipped runs of zeros cost neither writes nor space.
  // File systems without sparse files (FAT, exFAT) refuse it; callers treat
  // it as a hint and ignore a failure.
  virtual OsStatus set_sparse() = 0;

  // Writes the system's buffers for this handle to stable storage
  // (FlushFileBuffers).
  virtual OsStatus flush() = 0;

  // GetFileSizeEx: the length of the file this handle has open. Devices and
  // volumes fail with the error Windows gives for them.
  virtual OsResult<std::uint64_t> file_size() = 0;

  // IOCTL_DISK_GET_LENGTH_INFO: the disk's length in bytes. Fails when the call
  // fails or returns fewer than 8 bytes.
  virtual OsResult<std::uint64_t> disk_length() = 0;

  // IOCTL_STORAGE_QUERY_PROPERTY with StorageDeviceProperty and
  // PropertyStandardQuery into a zero-filled 1024-byte buffer: the bytes the
  // call returned (at most 1024), a STORAGE_DEVICE_DESCRIPTOR.
  virtual OsResult<Bytes> storage_descriptor() = 0;

  // IOCTL_DISK_GET_DISK_ATTRIBUTES: the 64-bit `Attributes` field. Fails when
  // the call fails or returns fewer than 16 bytes.
  virtual OsResult<std::uint64_t> disk_attributes() = 0;

  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS into a zero-filled 1024-byte buffer:
  // the disk number of every extent, in order. Fails when the call fails or
  // the reply does not hold as many extents as it announces (more than 42).
  virtual OsResult<std::vector<std::uint32_t>> volume_disk_extents() = 0;

  // IOCTL_DISK_UPDATE_PROPERTIES, without buffers: Windows drops the disk's
  // cached partition table and reads it from the disk again. A raw write of
  // a new partition table is seen by the volume manager only after it (or
  // after the disk arrives anew).
  virtual OsStatus update_disk_properties() = 0;

  // FSCTL_LOCK_VOLUME and FSCTL_DISMOUNT_VOLUME, without buffers.
  virtual OsStatus lock_volume() = 0;
  virtual OsStatus dismount_volume() = 0;

  // The identity of the file this handle has open. Fails for anything that is
  // not a file on a volume. Needs FILE_READ_ATTRIBUTES, which GENERIC_READ
  // grants and GENERIC_WRITE alone does not: call it on handles from
  // open_file_read, never on those from create_file_write or
  // open_always_write (they fail with 5).
  virtual OsResult<FileIdentity> file_identity() = 0;

  // GetVolumeInformationByHandleW: the file system's name and serial number
  // of the volume this handle is on, or is (a volume device handle). Handles
  // of other kinds fail with the error Windows gives for them.
  virtual OsResult<VolumeInformation> volume_information() = 0;

  // What this handle has open (GetFileType, then GetFileInformationByHandle
  // and the FileAttributeTagInfo class): kRegular for a file on a volume that
  // is neither a directory nor a reparse point, kDirectory, or kOther for a
  // link opened itself (FILE_FLAG_OPEN_REPARSE_POINT), a pipe, a device and
  // the rest. Needs FILE_READ_ATTRIBUTES.
  virtual OsResult<FileStatus> status() = 0;

  // GetFinalPathNameByHandleW (FILE_NAME_NORMALIZED): the path of the file
  // this handle has open, every link and junction on the way resolved, such
  // as "\\?\C:\dir\file", "\\?\UNC\server\share\file", or
  // "\\?\Volume{GUID}\dir\file" on a volume without a drive letter.
  virtual OsResult<std::string> final_path() = 0;

  // Whether the user who started this process could change this file from a
  // program of his that runs without elevation: the file's own security
  // descriptor, read through this handle (GetSecurityInfo; the handle needs
  // READ_CONTROL), grants his unelevated linked token (TokenLinkedToken)
  // FILE_WRITE_DATA, FILE_APPEND_DATA, WRITE_DAC or WRITE_OWNER (AccessCheck).
  // False when this process's token is not the elevated half of a token that
  // UAC split (TokenElevationTypeFull): then every program of the user runs
  // with the helper's rights, or the helper with no more than theirs.
  virtual OsResult<bool> user_may_change() = 0;

  // GetStorageDependencyInformation with GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES
  // and GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE through a drive handle: where
  // the file of this virtual disk (a VHD or VHDX) lies, one entry per volume
  // (the reply's HostVolumeName: a volume GUID path or a path on the volume).
  // For virtual disks only; other drives fail with the error Windows gives.
  virtual OsResult<std::vector<std::string>> virtual_disk_hosts() = 0;

  // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: the disk's logical sector size in
  // bytes (DISK_GEOMETRY.BytesPerSector). The disk driver refuses (87) every
  // transfer whose offset or length is not a multiple of it: 512 on cards,
  // 4096 on some USB disks. A reply that is too short or names no power of
  // two from 512 to 65536 fails with ERROR_INVALID_DATA (13).
  virtual OsResult<std::uint32_t> logical_sector_bytes() = 0;
};

using HandlePtr = std::unique_ptr<Handle>;

enum class VolumeAccess { kRead, kReadWrite };

struct OpenedForWriting {
  HandlePtr handle;
  // The file was there before the open (the last error was ERROR_ALREADY_EXISTS).
  bool already_existed = false;
};

struct ProcessOutput {
  std::uint32_t exit_code = 0;
  std::string standard_output;  // raw bytes, whole
  std::string standard_error;   // raw bytes, whole
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Physical drives. `path` is a device path such as "\\.\PhysicalDrive3",
  // used as given. OPEN_EXISTING, no security attributes, no template.

  // GENERIC_READ, sharing FILE_SHARE_READ | FILE_SHARE_WRITE, no flags: for
  // queries that must not disturb other users of the drive.
  virtual OsResult<HandlePtr> open_drive_for_query(const std::string& path) = 0;
  // GENERIC_READ, share mode 0: fails while any other handle is open on the
  // drive, and keeps others out while held.
  virtual OsResult<HandlePtr> open_drive_exclusive_read(const std::string& path) = 0;
  // GENERIC_READ | GENERIC_WRITE, share mode 0, FILE_FLAG_WRITE_THROUGH.
  virtual OsResult<HandlePtr> open_drive_exclusive_write(const std::string& path) = 0;

  // --- Volumes.

  // Opens the volume device `name` with the given access, sharing read and
  // write, OPEN_EXISTING. `name` must be a volume GUID path WITHOUT its
  // trailing backslash: with it, the path names the volume's root directory,
  // which this open (no FILE_FLAG_BACKUP_SEMANTICS) refuses with 5, and no
  // lock, dismount or extents query could go through it anyway.
  virtual OsResult<HandlePtr> open_volume(const std::string& name, VolumeAccess access) = 0;
  // FindFirstVolumeW / FindNextVolumeW / FindVolumeClose: every volume GUID
  // path, with its trailing backslash, in the system's order. Only
  // ERROR_NO_MORE_FILES ends the enumeration; any other failure, at the first
  // volume or a later one, is an error, never a shorter list.
  virtual OsResult<std::vector<std::string>> list_volumes() = 0;

  // GetVolumePathNamesForVolumeNameW: where the volume `name` (a volume GUID
  // path with its trailing backslash) is mounted: drive letters as "E:\"
  // and folder mount points, each with its trailing backslash; empty for a
  // volume without any.
  virtual OsResult<std::vector<std::string>> volume_path_names(const std::string& name) = 0;
  // GetVolumeInformationW and GetDiskFreeSpaceExW of the volume whose root
  // is `root` (a volume GUID path or a mount point, with its trailing
  // backslash). Both reach the file system: a volume without one (RAW)
  // fails with ERROR_UNRECOGNIZED_VOLUME (1005), a locked one with 5, and a
  // dismounted one is mounted again by the call.
  virtual OsResult<VolumeInformation> volume_root_information(const std::string& root) = 0;
  virtual OsResult<VolumeSpace> volume_space(const std::string& root) = 0;

  // GetSystemWindowsDirectoryW: the directory the running Windows is
  // installed in, such as "C:\Windows", the same for every user (where
  // GetWindowsDirectoryW gives a program that is not terminal-server aware a
  // folder of its user's own on a Remote Desktop Session Host).
  virtual OsResult<std::string> windows_directory() = 0;
  // GetVolumePathNameW: the mount point of the volume `path` lies on, with
  // its trailing backslash ("C:\" for "C:\Windows").
  virtual OsResult<std::string> volume_path_name(const std::string& path) = 0;
  // GetVolumeNameForVolumeMountPointW: the volume GUID path, with its
  // trailing backslash, of the volume mounted at `mount_point` (which ends in
  // a backslash). A mount point with no volume behind it fails with
  // ERROR_FILE_NOT_FOUND (2) or ERROR_PATH_NOT_FOUND (3).
  virtual OsResult<std::string> volume_name_for_mount_point(const std::string& mount_point) = 0;
  // GetSystemDirectoryW: the running Windows' own program folder, such as
  // "C:\Windows\system32". It is the same for every user.
  virtual OsResult<std::string> system_directory() = 0;
  // The volume GUID path, with its trailing backslash, of the system
  // partition Windows started from (the EFI system partition, or the active
  // partition of a BIOS machine): the device that the registry value
  // HKLM\SYSTEM\Setup\SystemPartition names (what Win32_OperatingSystem
  // reports as BootDevice), matched against every volume's device
  // (QueryDosDeviceW). Nullopt when the value is absent; a device that no
  // volume has is an error.
  virtual OsResult<std::optional<std::string>> system_partition() = 0;
  // The page files Windows opened at its start: the ExistingPageFiles and
  // PagingFiles values under HKLM\SYSTEM\CurrentControlSet\Control\Session
  // Manager\Memory Management, each as a path such as "C:\pagefile.sys"
  // ("\??\" and the sizes after the name taken off). Entries on "?:", the
  // system's own choice of volume, are left out.
  virtual OsResult<std::vector<std::string>> page_files() = 0;

  // --- Files. Ordinary sharing (read, write, delete) unless said otherwise.

  // True when the path's attributes can be queried (GetFileAttributesW).
  virtual bool file_exists(const std::string& path) = 0;
  // What `path` names, found through a handle that may only read attributes
  // (links followed, directories allowed), so nothing is read, written or
  // truncated. Nullopt when nothing is there (ERROR_FILE_NOT_FOUND or
  // ERROR_PATH_NOT_FOUND); other failures are errors.
  virtual OsResult<std::optional<FileStatus>> file_status(const std::string& path) = 0;
  // GENERIC_READ, OPEN_EXISTING.
  virtual OsResult<HandlePtr> open_file_read(const std::string& path) = 0;
  // GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL: created when absent,
  // truncated when present. Fails with 3 when the directory does not exist,
  // and with 5 over an existing hidden, system or read-only file.
  virtual OsResult<HandlePtr> create_file_write(const std::string& path) = 0;
  // GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_WRITE_THROUGH; reports whether the
  // file existed before. The content is left as it was.
  virtual OsResult<OpenedForWriting> open_always_write(const std::string& path) = 0;
  // MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: the
  // file `from` takes the name `to` in one step, replacing the file of that
  // name if there is one, and the call returns once the change is on the
  // disk. Both paths must be on one volume (else ERROR_NOT_SAME_DEVICE, 17);
  // `to` may not be a directory or a read-only file (5).
  virtual OsStatus replace_file(const std::string& from, const std::string& to) = 0;
  // DeleteFileW: 2 when there is no such file, 5 for a directory or a
  // read-only file.
  virtual OsStatus delete_file(const std::string& path) = 0;

  // A file no other program may change while it is read: GENERIC_READ |
  // READ_CONTROL, FILE_SHARE_READ only (an open fails with 32 while another
  // handle may write or delete it, and none that could is granted while this
  // one is held), OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT (a link is
  // opened itself, not followed). Never waits: a pipe or FIFO opens at once,
  // and status() then tells it apart from a file.
  virtual OsResult<HandlePtr> open_file_read_locked(const std::string& path) = 0;

  // The opens of files that a request names (images, prepared images,
  // outputs): made with the rights of the user who started the helper, so
  // that a request cannot reach what that user could not. When UAC split the
  // process's token (TokenElevationTypeFull), the thread impersonates a
  // restricted copy of its own token that matches the unelevated linked
  // token (the same groups deny-only, no privileges beyond traversal, the
  // same integrity level, owner and default DACL) for the length of the
  // CreateFileW; otherwise the process token is the user's own and is used
  // as it is. Windows' refusal is the usual error, 5 included.
  //
  // As open_file_read, for reading.
  virtual OsResult<HandlePtr> open_file_read_as_user(const std::string& path) = 0;
  // GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, ordinary sharing,
  // OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT: a file that is not there is
  // created, one that is there keeps its bytes (the caller truncates once it
  // has checked what it opened), and a link as the last component is opened
  // itself, never followed (status() says kOther). Links and junctions
  // earlier on the way are followed; final_path() tells where they led.
  virtual OsResult<OpenedForWriting> open_output_as_user(const std::string& path) = 0;

  // This process's standard input (GetStdHandle), read as a stream: a read
  // returns what is there, 0 at its end (a closed pipe included).
  virtual OsResult<HandlePtr> standard_input() = 0;

  // --- Processes.

  // Runs `executable` (an absolute path, never searched for) with `arguments`,
  // each passed to the child as one argument exactly as given. Standard input
  // is the null device; standard output and standard error are captured whole,
  // drained concurrently. Waits for the child without a time limit. Fails only
  // when the process cannot be started.
  virtual OsResult<ProcessOutput> run_process(const std::string& executable,
                                              const std::vector<std::string>& arguments) = 0;
  // The same with exactly `environment` ("NAME=value" entries) as the
  // child's environment block, in place of this process's own.
  virtual OsResult<ProcessOutput> run_process_in_environment(const std::string& executable,
                                                             const std::vector<std::string>& arguments,
                                                             const std::vector<std::string>& environment) = 0;

  // --- Time.

  virtual Instant now() = 0;
  virtual void sleep_ms(std::uint32_t milliseconds) = 0;
};

}  // namespace wh
