// Port identity on Windows, from the device manager through SETUPAPI:
// every present device of the Ports class, and every present device with a
// COM port interface, with its PortName (COM7), friendly name, driver
// service, manufacturer and description; the USB device behind it is found
// by walking up the device tree to the first USB\VID_...&PID_... device id,
// whose last segment is the adapter's serial number. Ports that only
// discover_ports finds (Wine's registry-mapped ones) are listed with an
// empty identity. Every string is converted from UTF-16, bounded, made
// printable.
#include "serial/port_info.h"
#include "serial/port_info_internal.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
    WIDE_CAPACITY = 1024,  // UTF-16 units of one property
    UTF8_CAPACITY = 3 * WIDE_CAPACITY,
    DEVICE_TREE_LIMIT = 8  // device levels to walk up for the USB device
};

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports (COM & LPT) class.
static const GUID PORTS_CLASS = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the COM port device interface,
// also registered by modems and adapters of other classes.
static const GUID COMPORT_INTERFACE = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// UTF-16 text, NUL-terminated within its buffer, as UTF-8 (raw, not yet
// made printable). 0, or -1 with out "" when it does not convert or fit.
static int to_utf8(const wchar_t *text, char *out, size_t size)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, (int)size, NULL, NULL);
    if (n <= 0) {
        out[0] = '\0';
        return -1;
    }
    out[size - 1] = '\0';
    return 0;
}

static void set_text(char *field, size_t size, const wchar_t *text)
{
    char utf8[UTF8_CAPACITY];
    if (to_utf8(text, utf8, sizeof utf8) == 0)
        clean_text(field, size, utf8, strlen(utf8));
}

// A string property of the device (the first string of a list), in text.
static int device_property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property,
                           wchar_t *text)
{
    memset(text, 0, WIDE_CAPACITY * sizeof(wchar_t));
    DWORD type = 0;
    // Two units short of the buffer: whatever comes back stays terminated,
    // as a string and as a list.
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, (BYTE *)text,
                                           (WIDE_CAPACITY - 2) * sizeof(wchar_t), NULL) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        text[0] = L'\0';
        return -1;
    }
    return 0;
}

// The device's PortName value (COM7), as a number; -1 when it has none or
// it is not a COM port (LPT1 is in the same class).
static int device_port_number(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return -1;
    wchar_t name[64];
    memset(name, 0, sizeof name);
    DWORD type = 0, bytes = sizeof name - sizeof name[0];
    LONG status = RegQueryValueExW(key, L"PortName", NULL, &type, (BYTE *)name, &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return -1;
    char utf8[3 * 64];
    if (to_utf8(name, utf8, sizeof utf8) != 0)
        return -1;
    return com_port_number(utf8);
}

// Up the device tree from the port to the USB device behind it: its ids
// and serial number.
static void find_usb_device(DEVINST node, PortInfo *info)
{
    for (int level = 0; level < DEVICE_TREE_LIMIT; ++level) {
        wchar_t id[WIDE_CAPACITY];
        memset(id, 0, sizeof id);
        char utf8[UTF8_CAPACITY], serial[PORT_INFO_TEXT_CAPACITY];
        if (CM_Get_Device_IDW(node, id, WIDE_CAPACITY - 1, 0) == CR_SUCCESS &&
            to_utf8(id, utf8, sizeof utf8) == 0 &&
            usb_device_serial(utf8, serial, sizeof serial) == 0 &&
            parse_usb_ids(utf8, &info->vid, &info->pid) == 0) {
            info->usb = 1;
            set_port_serial(info, serial, strlen(serial));
            return;
        }
        DEVINST parent;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
            return;
        node = parent;
    }
}

static void identify(HDEVINFO set, SP_DEVINFO_DATA *device, PortInfo *info)
{
    wchar_t text[WIDE_CAPACITY];
    if (device_property(set, device, SPDRP_FRIENDLYNAME, text) == 0)
        set_text(info->friendly_name, sizeof info->friendly_name, text);
    if (device_property(set, device, SPDRP_MFG, text) == 0)
        set_text(info->manufacturer, sizeof info->manufacturer, text);
    if (device_property(set, device, SPDRP_DEVICEDESC, text) == 0)
        set_text(info->product, sizeof info->product, text);
    if (device_property(set, device, SPDRP_SERVICE, text) == 0)
        set_text(info->driver, sizeof info->driver, text);

    find_usb_device(device->DevInst, info);
    // A driver with a bus of its own (FTDIBUS\COMPORT&VID_0403&PID_6001)
    // still names the ids in the hardware id when the walk found no device.
    char utf8[UTF8_CAPACITY];
    if (!info->usb && device_property(set, device, SPDRP_HARDWAREID, text) == 0 &&
        to_utf8(text, utf8, sizeof utf8) == 0 && parse_usb_ids(utf8, &info->vid, &info->pid) == 0)
        info->usb = 1;
}

// The ports found so far, kept in COM number order.
struct PortList {
    int count;
    int numbers[PORT_TABLE_CAPACITY];
    int identified[PORT_TABLE_CAPACITY];
    PortInfo ports[PORT_TABLE_CAPACITY];
};

// The index of the entry for COM number, made in its place (with its path
// and an empty identity) when there is none and room for it; -1 otherwise.
static int entry_for(PortList *list, int number)
{
    int i = 0;
    while (i < list->count && list->numbers[i] < number)
        ++i;
    if (i < list->count && list->numbers[i] == number)
        return i;
    if (list->count == PORT_TABLE_CAPACITY)
        return -1;
    memmove(&list->numbers[i + 1], &list->numbers[i], (size_t)(list->count - i) * sizeof(int));
    memmove(&list->identified[i + 1], &list->identified[i],
            (size_t)(list->count - i) * sizeof(int));
    memmove(&list->ports[i + 1], &list->ports[i], (size_t)(list->count - i) * sizeof(PortInfo));
    ++list->count;
    list->numbers[i] = number;
    list->identified[i] = 0;
    PortInfo *info = &list->ports[i];
    memset(info, 0, sizeof *info);
    char name[16];
    snprintf(name, sizeof name, "COM%d", number);
    (void)com_port_open_name(name, info->path, sizeof info->path);
    return i;
}

static void add_devices(PortList *list, const GUID *guid, DWORD flags)
{
    HDEVINFO set = SetupDiGetClassDevsW(guid, NULL, NULL, DIGCF_PRESENT | flags);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0;; ++index) {
        memset(&device, 0, sizeof device);
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(set, index, &device))
            break;
        int number = device_port_number(set, &device);
        if (number < 0)
            continue;
        int i = entry_for(list, number);
        if (i < 0 || list->identified[i])
            continue;
        list->identified[i] = 1;
        identify(set, &device, &list->ports[i]);
    }
    SetupDiDestroyDeviceInfoList(set);
}

int list_ports(PortInfo *out, int capacity)
{
    if (out == NULL || capacity <= 0)
        return 0;
    PortTable *table = (PortTable *)malloc(sizeof *table);
    PortList *list = (PortList *)malloc(sizeof *list);
    if (table == NULL || list == NULL) {
        free(table);
        free(list);
        return 0;
    }
    list->count = 0;
    int found = discover_ports(table);
    for (int i = 0; i < found; ++i) {
        int number = com_port_number(table->names[i]);
        if (number >= 0)
            entry_for(list, number);
    }
    add_devices(list, &PORTS_CLASS, 0);
    add_devices(list, &COMPORT_INTERFACE, DIGCF_DEVICEINTERFACE);

    int count = list->count < capacity ? list->count : capacity;
    memcpy(out, list->ports, (size_t)count * sizeof *out);
    free(list);
    free(table);
    return count;
}

int port_open_name(const char *given, char *out, size_t size)
{
    return com_port_open_name(given, out, size);
}

int same_port(const char *a, const char *b)
{
    if (a == NULL || b == NULL || a[0] == '\0' || b[0] == '\0')
        return 0;
    return _stricmp(a, b) == 0;
}

int port_info_index(const PortInfo *ports, int count, const char *path)
{
    for (int i = 0; ports != NULL && i < count; ++i)
        if (same_port(ports[i].path, path))
            return i;
    return -1;
}
