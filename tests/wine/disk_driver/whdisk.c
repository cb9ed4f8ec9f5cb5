/* The driver's entry: the disks and volumes named in the service key, each
 * a device with a DOS-device link, and requests sent to the one they are for.
 *
 * Configuration, read once at load, subkeys of the service key:
 *   Disks\<N>    BackingFile REG_SZ   NT path of the backing file (\??\Z:\...)
 *                Length      REG_QWORD the disk's length in bytes; past the
 *                            backing file's end it reads zeros, and zeros
 *                            written there are not stored (a sparse disk)
 *                LogicalSectorBytes REG_DWORD  512 when absent
 *                Vendor, Product, Serial REG_SZ  ASCII texts of the descriptor
 *                BusType     REG_DWORD STORAGE_BUS_TYPE
 *                Removable, ReadOnly REG_DWORD  0 or 1
 *                CorruptOffset REG_QWORD, CorruptBytes REG_BINARY  reads return
 *                            these bytes from that offset on, as a failing card
 *                            would; the backing file keeps what was written
 *   Volumes\<K>  Name   REG_SZ    Volume{GUID}, linked as \??\Volume{GUID}
 *                Disk   REG_DWORD the disk it lies on
 *                Offset, Length REG_QWORD  its one extent, mounted at load */
#include "whdisk.h"

typedef struct {
  ULONG version;
  ULONG size;
  UCHAR device_type;
  UCHAR device_type_modifier;
  BOOLEAN removable_media;
  BOOLEAN command_queueing;
  ULONG vendor_offset;
  ULONG product_offset;
  ULONG revision_offset;
  ULONG serial_offset;
  ULONG bus_type;
  ULONG raw_properties_length;
  UCHAR raw_properties[4];
} Descriptor; /* STORAGE_DEVICE_DESCRIPTOR */

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS WINAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (*(ULONG*)device->DeviceExtension == KIND_VOLUME) {
    return volume_dispatch((Volume*)device->DeviceExtension, irp, stack);
  }
  return disk_dispatch((Disk*)device->DeviceExtension, irp, stack);
}

/* One value of `key` into `data` (room bytes, zero-filled first): its
 * length, or -1 when it is missing, of another type or too long. */
static LONG read_value(HANDLE key, const WCHAR* name, ULONG type, PVOID data, ULONG room) {
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 520];
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  UNICODE_STRING text;
  ULONG size;
  RtlZeroMemory(data, room);
  RtlInitUnicodeString(&text, name);
  if (!NT_SUCCESS(ZwQueryValueKey(key, &text, KeyValuePartialInformation, buffer, sizeof buffer, &size))) return -1;
  if (value->Type != type || value->DataLength > room) return -1;
  RtlCopyMemory(data, value->Data, value->DataLength);
  return (LONG)value->DataLength;
}

static BOOLEAN query_value(HANDLE key, const WCHAR* name, ULONG type, PVOID data, ULONG room) {
  return read_value(key, name, type, data, room) >= 0;
}

static ULONG query_dword(HANDLE key, const WCHAR* name) {
  ULONG data = 0;
  query_value(key, name, REG_DWORD, &data, sizeof data);
  return data;
}

/* A text value, NUL-ended, in `text` (room characters). */
static BOOLEAN query_text(HANDLE key, const WCHAR* name, WCHAR* text, ULONG room) {
  return query_value(key, name, REG_SZ, text, (room - 1) * sizeof(WCHAR));
}

/* A descriptor text: the registry's UTF-16 narrowed to ASCII, then NUL. */
static void append_text(Disk* disk, HANDLE key, const WCHAR* name, ULONG* offset) {
  WCHAR text[128];
  ULONG i;
  *offset = 0;
  if (!query_text(key, name, text, 128)) return;
  *offset = disk->descriptor_size;
  for (i = 0; text[i] != 0 && disk->descriptor_size + 1 < sizeof disk->descriptor; ++i) {
    disk->descriptor[disk->descriptor_size++] = (UCHAR)(text[i] < 0x80 ? text[i] : '?');
  }
  disk->descriptor[disk->descriptor_size++] = 0;
}

static NTSTATUS open_backing_file(Disk* disk, HANDLE key) {
  WCHAR path[260];
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  if (!query_text(key, L"BackingFile", path, 260)) return STATUS_OBJECT_NAME_NOT_FOUND;
  RtlInitUnicodeString(&name, path);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  return ZwCreateFile(&disk->file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static NTSTATUS configure_disk(Disk* disk, HANDLE key) {
  Descriptor* descriptor = (Descriptor*)disk->descriptor;
  FILE_STANDARD_INFORMATION stored;
  IO_STATUS_BLOCK io;
  NTSTATUS status = open_backing_file(disk, key);
  if (!NT_SUCCESS(status)) return status;
  query_value(key, L"Length", REG_QWORD, &disk->length, sizeof disk->length);
  disk->sector = query_dword(key, L"LogicalSectorBytes");
  if (disk->sector == 0) disk->sector = 512;
  if (NT_SUCCESS(ZwQueryInformationFile(disk->file, &io, &stored, sizeof stored, FileStandardInformation))) {
    disk->stored = (ULONGLONG)stored.EndOfFile.QuadPart;
  }
  disk->read_only = query_dword(key, L"ReadOnly") != 0;
  disk->descriptor_size = sizeof(Descriptor);
  descriptor->version = sizeof(Descriptor);
  descriptor->removable_media = query_dword(key, L"Removable") != 0;
  descriptor->bus_type = query_dword(key, L"BusType");
  append_text(disk, key, L"Vendor", &descriptor->vendor_offset);
  append_text(disk, key, L"Product", &descriptor->product_offset);
  append_text(disk, key, L"Revision", &descriptor->revision_offset);
  append_text(disk, key, L"Serial", &descriptor->serial_offset);
  descriptor->size = disk->descriptor_size;
  if (query_value(key, L"CorruptOffset", REG_QWORD, &disk->corrupt_offset, sizeof disk->corrupt_offset)) {
    const LONG size = read_value(key, L"CorruptBytes", REG_BINARY, disk->corrupt_bytes, sizeof disk->corrupt_bytes);
    disk->corrupt_size = size > 0 ? (ULONG)size : 0;
  }
  return STATUS_SUCCESS;
}

static NTSTATUS configure_volume(Volume* volume, HANDLE key) {
  WCHAR name[48];
  ULONG at;
  if (!query_text(key, L"Name", name, 48)) return STATUS_OBJECT_NAME_NOT_FOUND;
  RtlCopyMemory(volume->link, L"\\??\\", 4 * sizeof(WCHAR));
  for (at = 0; name[at] != 0; ++at) volume->link[4 + at] = name[at];
  volume->disk = query_dword(key, L"Disk");
  query_value(key, L"Offset", REG_QWORD, &volume->offset, sizeof volume->offset);
  query_value(key, L"Length", REG_QWORD, &volume->length, sizeof volume->length);
  volume->mounted = TRUE;
  return STATUS_SUCCESS;
}

/* `prefix` then `number` in decimal into `out` (room characters, NUL included). */
static void name_with_number(WCHAR* out, ULONG room, const WCHAR* prefix, ULONG number) {
  WCHAR digits[10];
  ULONG count = 0, at = 0;
  do {
    digits[count++] = (WCHAR)(L'0' + number % 10);
    number /= 10;
  } while (number != 0);
  for (; prefix[at] != 0 && at + count + 1 < room; ++at) out[at] = prefix[at];
  while (count > 0) out[at++] = digits[--count];
  out[at] = 0;
}

static void link_of(const PDEVICE_OBJECT device, WCHAR* link, ULONG room) {
  if (*(ULONG*)device->DeviceExtension == KIND_VOLUME) {
    RtlCopyMemory(link, ((Volume*)device->DeviceExtension)->link, sizeof(((Volume*)0)->link));
  } else {
    name_with_number(link, room, L"\\??\\PhysicalDrive", ((Disk*)device->DeviceExtension)->number);
  }
}

/* One disk or volume from its key: the device, then its link. */
static NTSTATUS create_device(PDRIVER_OBJECT driver, HANDLE key, ULONG kind, ULONG number) {
  WCHAR device_text[32], link_text[64];
  UNICODE_STRING device_name, link_name;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  const ULONG size = kind == KIND_DISK ? sizeof(Disk) : sizeof(Volume);
  name_with_number(device_text, 32, kind == KIND_DISK ? L"\\Device\\WhDisk" : L"\\Device\\WhVolume", number);
  RtlInitUnicodeString(&device_name, device_text);
  status = IoCreateDevice(driver, size, &device_name, FILE_DEVICE_DISK, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(device->DeviceExtension, size);
  if (kind == KIND_DISK) {
    Disk* disk = (Disk*)device->DeviceExtension;
    disk->kind = KIND_DISK;
    disk->number = number;
    status = configure_disk(disk, key);
  } else {
    Volume* volume = (Volume*)device->DeviceExtension;
    volume->kind = KIND_VOLUME;
    volume->index = number;
    status = configure_volume(volume, key);
    if (NT_SUCCESS(status)) volumes[number] = volume;
  }
  if (NT_SUCCESS(status)) {
    link_of(device, link_text, 64);
    RtlInitUnicodeString(&link_name, link_text);
    status = IoCreateSymbolicLink(&link_name, &device_name);
  }
  if (!NT_SUCCESS(status)) {
    if (kind == KIND_DISK && ((Disk*)device->DeviceExtension)->file) ZwClose(((Disk*)device->DeviceExtension)->file);
    if (kind == KIND_VOLUME) volumes[number] = NULL;
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_DIRECT_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* Every numbered subkey of `group` under the service key, up to `count`. */
static ULONG create_devices(PDRIVER_OBJECT driver, PUNICODE_STRING service, const WCHAR* group, ULONG kind,
                            ULONG count) {
  WCHAR base[300], path[320];
  const ULONG service_length = service->Length / sizeof(WCHAR);
  ULONG at = 0, number, created = 0;
  if (service_length + 16 > 300) return 0;
  RtlCopyMemory(base, service->Buffer, service_length * sizeof(WCHAR));
  base[service_length] = L'\\';
  for (at = 0; group[at] != 0; ++at) base[service_length + 1 + at] = group[at];
  base[service_length + 1 + at] = L'\\';
  base[service_length + 2 + at] = 0;
  for (number = 0; number < count; ++number) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    name_with_number(path, 320, base, number);
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) continue;
    if (NT_SUCCESS(create_device(driver, key, kind, number))) ++created;
    ZwClose(key);
  }
  return created;
}

static void WINAPI unload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    WCHAR link_text[64];
    UNICODE_STRING link_name;
    link_of(device, link_text, 64);
    RtlInitUnicodeString(&link_name, link_text);
    IoDeleteSymbolicLink(&link_name);
    if (*(ULONG*)device->DeviceExtension == KIND_DISK) {
      ZwClose(((Disk*)device->DeviceExtension)->file);
    } else {
      volumes[((Volume*)device->DeviceExtension)->index] = NULL;
    }
    IoDeleteDevice(device);
  }
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  int i;
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch;
  driver->DriverUnload = unload;
  if (create_devices(driver, registry_path, L"Disks", KIND_DISK, MAX_DISKS) == 0) return STATUS_NO_SUCH_DEVICE;
  create_devices(driver, registry_path, L"Volumes", KIND_VOLUME, MAX_VOLUMES);
  return STATUS_SUCCESS;
}
