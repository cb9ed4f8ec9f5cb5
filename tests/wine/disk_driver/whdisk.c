/* A stand-in for Windows' disk stack under Wine: each configured disk is a
 * \Device\WhDiskN with a \??\PhysicalDriveN link, backed by a host file, and
 * answering reads, writes and device controls as disk.sys and classpnp do.
 *
 * Configuration, read once at load, one subkey of the service key per disk:
 *   Disks\<N>  BackingFile REG_SZ   NT path of the backing file (\??\Z:\...)
 *              Length      REG_QWORD the disk's length in bytes
 *              Vendor, Product, Serial REG_SZ  ASCII texts of the descriptor
 *              BusType     REG_DWORD STORAGE_BUS_TYPE
 *              Removable, ReadOnly REG_DWORD  0 or 1
 *              CorruptOffset REG_QWORD, CorruptBytes REG_BINARY  reads return
 *                          these bytes from that offset on, as a failing card
 *                          would; the backing file keeps what was written
 *
 * What Wine's I/O manager does not do for a driver, this one does itself:
 * share access is kept here (IoCheckShareAccess is missing, and the desired
 * access never arrives, so any open that does not share both reading and
 * writing is exclusive), and the byte offset of every transfer is the
 * caller's OVERLAPPED offset (device handles have no file position). Wine
 * gives the caller its handle whatever the create's status, so an open
 * refused for sharing fails everything later sent through it, with 32. */
#include <ntddk.h>

#define MAX_DISKS 16
#define SECTOR 512

#define IOCTL_DISK_GET_LENGTH_INFO 0x0007405C
#define IOCTL_DISK_GET_DISK_ATTRIBUTES 0x000700F0
#define IOCTL_DISK_UPDATE_PROPERTIES 0x00070140
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400
#define DISK_ATTRIBUTE_READ_ONLY 0x2

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

typedef struct {
  ULONG version;
  ULONG reserved;
  ULONGLONG attributes;
} DiskAttributes; /* GET_DISK_ATTRIBUTES */

typedef struct {
  HANDLE file;
  ULONG number;
  ULONGLONG length;
  BOOLEAN read_only;
  UCHAR descriptor[512];
  ULONG descriptor_size;
  LONG opens;           /* handles open on the disk */
  LONG exclusive_opens; /* of those, handles that share nothing */
  LONG updates;         /* IOCTL_DISK_UPDATE_PROPERTIES calls */
  ULONGLONG corrupt_offset;
  UCHAR corrupt_bytes[64];
  ULONG corrupt_size;
} Disk;

/* How an open counts, kept in its FILE_OBJECT until the handle is closed. */
#define OPEN_SHARED ((PVOID)1)
#define OPEN_EXCLUSIVE ((PVOID)2)
#define OPEN_REFUSED ((PVOID)3)

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS open_disk(Disk* disk, PIO_STACK_LOCATION stack) {
  const ULONG both = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const BOOLEAN exclusive = (stack->Parameters.Create.ShareAccess & both) != both;
  if (disk->exclusive_opens > 0 || (exclusive && disk->opens > 0)) {
    stack->FileObject->FsContext2 = OPEN_REFUSED;
    return STATUS_SHARING_VIOLATION;
  }
  ++disk->opens;
  if (exclusive) ++disk->exclusive_opens;
  stack->FileObject->FsContext2 = exclusive ? OPEN_EXCLUSIVE : OPEN_SHARED;
  return STATUS_SUCCESS;
}

/* Cleanup and close both end an open; whichever comes first counts. */
static void close_disk(Disk* disk, PFILE_OBJECT file) {
  if (file == NULL || (file->FsContext2 != OPEN_SHARED && file->FsContext2 != OPEN_EXCLUSIVE)) return;
  --disk->opens;
  if (file->FsContext2 == OPEN_EXCLUSIVE) --disk->exclusive_opens;
  file->FsContext2 = NULL;
}

/* The configured bytes in place of the stored ones, where the read overlaps them. */
static void corrupt(const Disk* disk, ULONGLONG offset, PUCHAR buffer, ULONG length) {
  ULONGLONG at;
  for (at = disk->corrupt_offset; at < disk->corrupt_offset + disk->corrupt_size; ++at) {
    if (at >= offset && at < offset + length) buffer[at - offset] = disk->corrupt_bytes[at - disk->corrupt_offset];
  }
}

/* disk.sys and classpnp: whole sectors or STATUS_INVALID_PARAMETER; a
 * transfer not inside the disk is refused by the device and reported as
 * STATUS_NONEXISTENT_SECTOR; a write to a write-protected medium fails with
 * STATUS_MEDIA_WRITE_PROTECTED. */
static NTSTATUS transfer(Disk* disk, PIRP irp, PIO_STACK_LOCATION stack) {
  const BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  LARGE_INTEGER offset = write ? stack->Parameters.Write.ByteOffset : stack->Parameters.Read.ByteOffset;
  const ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  IO_STATUS_BLOCK io;
  NTSTATUS status;
  PUCHAR buffer;

  if (write && disk->read_only) return complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
  if (offset.QuadPart < 0 || offset.QuadPart % SECTOR != 0 || length % SECTOR != 0) {
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (length == 0) return complete(irp, STATUS_SUCCESS, 0);
  if ((ULONGLONG)offset.QuadPart >= disk->length || length > disk->length - (ULONGLONG)offset.QuadPart) {
    return complete(irp, STATUS_NONEXISTENT_SECTOR, 0);
  }
  buffer = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
  if (buffer == NULL) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (write) {
    status = ZwWriteFile(disk->file, NULL, NULL, NULL, &io, buffer, length, &offset, NULL);
    return complete(irp, status, NT_SUCCESS(status) ? length : 0);
  }
  status = ZwReadFile(disk->file, NULL, NULL, NULL, &io, buffer, length, &offset, NULL);
  if (status == STATUS_END_OF_FILE) {
    io.Information = 0;
    status = STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  /* The disk is as long as it says; a shorter backing file reads as zeros. */
  if (io.Information < length) RtlZeroMemory(buffer + io.Information, length - io.Information);
  corrupt(disk, (ULONGLONG)offset.QuadPart, buffer, length);
  return complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS control(Disk* disk, PIRP irp, PIO_STACK_LOCATION stack) {
  PVOID reply = irp->AssociatedIrp.SystemBuffer;
  const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DISK_GET_LENGTH_INFO:
      if (room < sizeof(LONGLONG)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      *(LONGLONG*)reply = (LONGLONG)disk->length;
      return complete(irp, STATUS_SUCCESS, sizeof(LONGLONG));
    case IOCTL_DISK_GET_DISK_ATTRIBUTES: {
      DiskAttributes attributes = {sizeof attributes, 0, disk->read_only ? DISK_ATTRIBUTE_READ_ONLY : 0};
      if (room < sizeof attributes) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(reply, &attributes, sizeof attributes);
      return complete(irp, STATUS_SUCCESS, sizeof attributes);
    }
    case IOCTL_STORAGE_QUERY_PROPERTY: {
      /* STORAGE_PROPERTY_QUERY: StorageDeviceProperty, PropertyStandardQuery. */
      const ULONG* query = (const ULONG*)reply;
      ULONG copied;
      if (stack->Parameters.DeviceIoControl.InputBufferLength < 8) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      if (query[0] != 0 || query[1] != 0) return complete(irp, STATUS_NOT_SUPPORTED, 0);
      /* As classpnp: as much of the descriptor as fits, its header first. */
      if (room < 8) return complete(irp, STATUS_INFO_LENGTH_MISMATCH, 0);
      copied = room < disk->descriptor_size ? room : disk->descriptor_size;
      RtlCopyMemory(reply, disk->descriptor, copied);
      return complete(irp, STATUS_SUCCESS, copied);
    }
    case IOCTL_DISK_UPDATE_PROPERTIES:
      InterlockedIncrement(&disk->updates);
      return complete(irp, STATUS_SUCCESS, 0);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS WINAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Disk* disk = (Disk*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_CREATE) return complete(irp, open_disk(disk, stack), 0);
  if (stack->MajorFunction == IRP_MJ_CLEANUP || stack->MajorFunction == IRP_MJ_CLOSE) {
    close_disk(disk, stack->FileObject);
    return complete(irp, STATUS_SUCCESS, 0);
  }
  if (stack->FileObject != NULL && stack->FileObject->FsContext2 == OPEN_REFUSED) {
    return complete(irp, STATUS_SHARING_VIOLATION, 0);
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return transfer(disk, irp, stack);
    case IRP_MJ_FLUSH_BUFFERS:
      /* The host file is written through by the driver host's own calls. */
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return control(disk, irp, stack);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
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

/* A descriptor text: the registry's UTF-16 narrowed to ASCII, then NUL. */
static void append_text(Disk* disk, HANDLE key, const WCHAR* name, ULONG* offset) {
  WCHAR text[128];
  ULONG i;
  *offset = 0;
  if (!query_value(key, name, REG_SZ, text, sizeof text - sizeof(WCHAR))) return;
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
  if (!query_value(key, L"BackingFile", REG_SZ, path, sizeof path - sizeof(WCHAR))) return STATUS_OBJECT_NAME_NOT_FOUND;
  RtlInitUnicodeString(&name, path);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  return ZwCreateFile(&disk->file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static NTSTATUS configure(Disk* disk, HANDLE key) {
  Descriptor* descriptor = (Descriptor*)disk->descriptor;
  NTSTATUS status = open_backing_file(disk, key);
  if (!NT_SUCCESS(status)) return status;
  query_value(key, L"Length", REG_QWORD, &disk->length, sizeof disk->length);
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

/* `prefix` then `number` in decimal into `out` (room characters, NUL included). */
static void name_with_number(WCHAR* out, ULONG room, const WCHAR* prefix, ULONG prefix_length, ULONG number) {
  WCHAR digits[10];
  ULONG count = 0, at = 0;
  do {
    digits[count++] = (WCHAR)(L'0' + number % 10);
    number /= 10;
  } while (number != 0);
  for (; at < prefix_length && at + count + 1 < room; ++at) out[at] = prefix[at];
  while (count > 0) out[at++] = digits[--count];
  out[at] = 0;
}

static ULONG text_length(const WCHAR* text) {
  ULONG length = 0;
  while (text[length] != 0) ++length;
  return length;
}

static NTSTATUS create_disk(PDRIVER_OBJECT driver, HANDLE key, ULONG number) {
  WCHAR device_text[32], link_text[40];
  UNICODE_STRING device_name, link_name;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  name_with_number(device_text, 32, L"\\Device\\WhDisk", text_length(L"\\Device\\WhDisk"), number);
  name_with_number(link_text, 40, L"\\??\\PhysicalDrive", text_length(L"\\??\\PhysicalDrive"), number);
  RtlInitUnicodeString(&device_name, device_text);
  RtlInitUnicodeString(&link_name, link_text);
  status = IoCreateDevice(driver, sizeof(Disk), &device_name, FILE_DEVICE_DISK, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(device->DeviceExtension, sizeof(Disk));
  ((Disk*)device->DeviceExtension)->number = number;
  status = configure((Disk*)device->DeviceExtension, key);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&link_name, &device_name);
  if (!NT_SUCCESS(status)) {
    if (((Disk*)device->DeviceExtension)->file) ZwClose(((Disk*)device->DeviceExtension)->file);
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_DIRECT_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void WINAPI unload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    Disk* disk = (Disk*)device->DeviceExtension;
    WCHAR link_text[40];
    UNICODE_STRING link_name;
    name_with_number(link_text, 40, L"\\??\\PhysicalDrive", text_length(L"\\??\\PhysicalDrive"), disk->number);
    RtlInitUnicodeString(&link_name, link_text);
    IoDeleteSymbolicLink(&link_name);
    if (disk->file) ZwClose(disk->file);
    IoDeleteDevice(device);
  }
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  WCHAR base[260], path[300];
  const ULONG base_length = registry_path->Length / sizeof(WCHAR);
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  ULONG number, created = 0;
  int i;
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch;
  driver->DriverUnload = unload;
  if (base_length + 8 > 260) return STATUS_NAME_TOO_LONG;
  RtlCopyMemory(base, registry_path->Buffer, base_length * sizeof(WCHAR));
  RtlCopyMemory(base + base_length, L"\\Disks\\", 7 * sizeof(WCHAR));
  for (number = 0; number < MAX_DISKS; ++number) {
    HANDLE key;
    name_with_number(path, 300, base, base_length + 7, number);
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) continue;
    if (NT_SUCCESS(create_disk(driver, key, number))) ++created;
    ZwClose(key);
  }
  return created ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}
