"""Python models of the device's coredll and aygshell functions that the kit's binaries import,
recording every call as the tests compare it. The registry behaves as the platform's: a value
read into too small a buffer fails with ERROR_MORE_DATA and the size it needs, the buffer left
untouched; a read adds no NUL; a write stores exactly the bytes it is given. The windows are
records: their class, text, style, rectangle and owner, a check box's state and a field's line.
The shell's full-screen dialog lies between a 36-pixel top bar and a 52-pixel menu bar, as on the
Wine stand-in."""
import struct

from arm_machine import Call, RunFailed

ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA = 0, 2, 5, 234
HKEY_LOCAL_MACHINE = 0x80000002
WM_CREATE, WM_DESTROY, WM_ACTIVATE, WM_PAINT, WM_CLOSE, WM_QUIT = 1, 2, 6, 15, 16, 18
WM_KEYDOWN, WM_COMMAND, WM_SETTINGCHANGE = 0x100, 0x111, 0x1A
BM_GETCHECK, BM_SETCHECK, EM_GETLINE = 0xF0, 0xF1, 0xC4
MB_YESNO, IDOK, IDYES, IDNO = 4, 1, 6, 7
IOCTL_HAL_GET_DEVICE_INFO, SPI_GETPLATFORMNAME = 0x01010004, 260
TOP_BAR, MENU_BAR = 36, 52
SHIDIF_SIZEDLGFULLSCREEN = 4


class Window:
    def __init__(self, handle, class_name, text, style, rect, owner, procedure=None):
        self.handle, self.class_name, self.text, self.style = handle, class_name, text, style
        self.rect, self.owner, self.procedure = rect, owner, procedure
        self.checked, self.destroyed = 0, False


class Device:
    def __init__(self, screen=(480, 640), registry=None, platform_name=None, answer=IDOK):
        self.screen = screen
        self.registry = registry if registry is not None else {}  # key path (lower) -> {name lower: (name, type, bytes)}
        self.platform_name = platform_name  # the bytes the HAL hands over, or None: the query fails
        self.answer = answer
        self.fail_keys, self.fail_write_of, self.fail_menu_bar, self.fail_class = False, None, False, False
        self.calls = []  # as the Wine tests' import spy writes them
        self.access_masks, self.boxes, self.foreground, self.turned_off = [], [], [], []
        self.open_keys, self.next_key = {}, 0x100
        self.windows, self.next_window = {}, 0x1000
        self.classes, self.created, self.shell, self.accelerators = {}, [], {}, []
        self.queue, self.script, self.control_held = [], [], False
        self.instructions_at_first_wait = None  # the program's own instructions until its loop first waits
        self.machine = None
        self.default_handled = []

    # Registry.
    def _key_path(self, root, subkey):
        if root == HKEY_LOCAL_MACHINE:
            return subkey.lower()
        if root in self.open_keys:
            return self.open_keys[root] + "\\" + subkey.lower()
        raise RunFailed("a registry call on the unknown key %#x" % root)

    def _hand_out_key(self, path, address):
        self.next_key += 4
        self.open_keys[self.next_key] = path
        self.machine.write_u32(address, self.next_key)

    def RegOpenKeyExW(self, m):
        root, subkey, _, access, result = m.arguments(5)
        self.access_masks.append(access)
        path = self._key_path(root, m.wide_text(subkey))
        if self.fail_keys or path not in self.registry:
            self.calls.append("open failed")
            return ERROR_ACCESS_DENIED if self.fail_keys else ERROR_FILE_NOT_FOUND
        self.calls.append("open")
        self._hand_out_key(path, result)
        return ERROR_SUCCESS

    def RegCreateKeyExW(self, m):
        root, subkey, _, _, _, access, _, result, disposition = m.arguments(9)
        self.access_masks.append(access)
        if self.fail_keys:
            self.calls.append("create failed")
            return ERROR_ACCESS_DENIED
        path = self._key_path(root, m.wide_text(subkey))
        self.registry.setdefault(path, {})
        self.calls.append("create")
        self._hand_out_key(path, result)
        if disposition:
            m.write_u32(disposition, 1)
        return ERROR_SUCCESS

    def RegQueryValueExW(self, m):
        key, name, _, kind, data, size = m.arguments(6)
        name = m.wide_text(name) or ""
        offered = m.u32(size) if size else None
        self.calls.append("query %s %s" % (name, offered if offered is not None else "-"))
        values = self.registry.get(self.open_keys.get(key))
        if values is None or name.lower() not in values:
            return ERROR_FILE_NOT_FOUND
        _, stored_type, stored = values[name.lower()]
        if kind:
            m.write_u32(kind, stored_type)
        if data and offered is not None and len(stored) > offered:
            m.write_u32(size, len(stored))
            return ERROR_MORE_DATA
        if data:
            m.write(data, stored)
        if size:
            m.write_u32(size, len(stored))
        return ERROR_SUCCESS

    def RegSetValueExW(self, m):
        key, name, _, kind, data, size = m.arguments(6)
        name = m.wide_text(name) or ""
        self.calls.append("set " + name)
        if self.fail_write_of == name:
            return ERROR_ACCESS_DENIED
        self.registry[self.open_keys[key]][name.lower()] = (name, kind, bytes(m.uc.mem_read(data, size)))
        return ERROR_SUCCESS

    def RegCloseKey(self, m):
        key = m.argument(0)
        if self.open_keys.pop(key, None) is None:
            raise RunFailed("a registry key closed that was not open")
        self.calls.append("close")
        return ERROR_SUCCESS

    # The kernel and the installer's environment.
    def KernelIoControl(self, m):
        code, in_buffer, in_size, out_buffer, out_size, returned = m.arguments(6)
        if code != IOCTL_HAL_GET_DEVICE_INFO or in_size < 4 or m.u32(in_buffer) != SPI_GETPLATFORMNAME:
            return 0
        if self.platform_name is None or len(self.platform_name) > out_size:
            return 0
        m.write(out_buffer, self.platform_name)
        if returned:
            m.write_u32(returned, len(self.platform_name))
        return 1

    def MessageBoxW(self, m):
        owner, text, caption, flags = m.arguments(4)
        self.calls.append('box %#x %s "%s" %s' % (flags, "owned" if owner else "unowned", m.wide_text(caption),
                                                    m.wide_text(text)))
        yes_no = flags & 0xF == MB_YESNO
        return self.answer if (self.answer in (IDYES, IDNO)) == bool(yes_no) else (IDYES if yes_no else IDOK)

    def DisableThreadLibraryCalls(self, m):
        self.turned_off.append(m.argument(0))
        return 1

    # Strings and memory.
    def wcscmp(self, m):
        first, second = m.wide_text(m.argument(0)), m.wide_text(m.argument(1))
        return 0 if first == second else (-1 if first < second else 1)

    def wcscpy(self, m):
        destination, source = m.arguments(2)
        m.write_wide(destination, m.wide_text(source))
        return destination

    def wcslen(self, m):
        return len(m.wide_text(m.argument(0)))

    def memset(self, m):
        destination, value, size = m.arguments(3)
        m.write(destination, bytes([value & 0xFF]) * size)
        return destination

    def wsprintfW(self, m):
        destination, form = m.arguments(2)
        text, out, argument = m.wide_text(form), "", 2
        i = 0
        while i < len(text):
            if text[i] != "%":
                out += text[i]
            elif text[i + 1] == "%":
                out += "%"
                i += 1
            elif text[i + 1] in "du":
                value = m.argument(argument)
                out += str(value - (1 << 32) if text[i + 1] == "d" and value & 0x80000000 else value)
                argument += 1
                i += 1
            else:
                raise RunFailed("wsprintfW with the format %r" % text)
            i += 1
        m.write_wide(destination, out)
        return len(out)

    # Resources and the module.
    def GetModuleHandleW(self, m):
        return m.base if m.argument(0) == 0 else 0

    def LoadStringW(self, m):
        instance, number, buffer, size = m.arguments(4)
        text = m.image.string(number) if instance == m.base else None
        if text is None or size == 0:
            return 0
        text = text[:size - 1]
        m.write_wide(buffer, text)
        return len(text)

    def LoadIconW(self, m):
        instance, name = m.arguments(2)
        return 0x5000 + name if m.image.resource(14, name) is not None else 0

    def LoadAcceleratorsW(self, m):
        instance, name = m.arguments(2)
        table = m.image.resource(9, name)
        self.accelerators = [struct.unpack_from("<HHH", table, at) for at in range(0, len(table), 8)] if table else []
        return 0x5800 + name if table else 0

    def GetStockObject(self, m):
        return 0x6000 + m.argument(0)

    # Windows.
    def RegisterClassW(self, m):
        at = m.argument(0)
        fields = struct.unpack("<10I", m.uc.mem_read(at, 40))
        name = m.wide_text(fields[9])
        if self.fail_class:
            return m.word(0)
        self.classes[name.upper()] = fields
        return m.word(0xC000 + len(self.classes))  # an ATOM: the device's library leaves junk above it

    def _window(self, handle):
        window = self.windows.get(handle)
        return window if window is not None and not window.destroyed else None

    def _new_window(self, class_name, text, style, rect, owner, procedure=None):
        self.next_window += 4
        self.windows[self.next_window] = Window(self.next_window, class_name, text, style, rect, owner, procedure)
        return self.next_window

    def _send(self, window, message, w_param, l_param, finish=lambda result: result):
        """Delivers a message to a window of the program's own class (its procedure runs)."""
        return Call(window.procedure, [window.handle, message, w_param, l_param], finish,
                    "the window procedure of %s" % window.class_name)

    def CreateWindowExW(self, m):
        (_, class_address, title, style, x, y, width, height, owner, menu, instance,
         parameter) = m.arguments(12)
        class_name = m.wide_text(class_address)
        text = m.wide_text(title) or ""
        self.created.append((class_name, text, style, (x, y, width, height), owner, menu, instance, parameter))
        registered = self.classes.get(class_name.upper())
        if registered is None:
            return self._new_window(class_name, text, style, (x, y, x + width, y + height), owner)
        # A top-level window of the default size is the screen's work area until the shell sizes it.
        rect = (0, TOP_BAR, self.screen[0], self.screen[1]) if x == 0x80000000 else (x, y, x + width, y + height)
        handle = self._new_window(class_name, text, style, rect, owner, registered[1])
        create = m.allocate(48)
        m.write(create, struct.pack("<12I", parameter, instance, menu, owner, height, width, y, x, style, title,
                                    class_address, 0))
        return self._send(self.windows[handle], WM_CREATE, 0, create,
                         lambda result: handle if result != 0xFFFFFFFF else self._destroyed(handle))

    def _destroyed(self, handle):
        self.windows[handle].destroyed = True
        return 0

    def FindWindowW(self, m):
        class_name, title = m.wide_text(m.argument(0)), m.wide_text(m.argument(1))
        for window in self.windows.values():
            if not window.destroyed and (class_name is None or window.class_name.upper() == class_name.upper()) and \
                    (title is None or window.text == title):
                return window.handle
        return 0

    def SetForegroundWindow(self, m):
        self.foreground.append(m.argument(0))
        return 1

    def GetWindowRect(self, m):
        window, rect = self._window(m.argument(0)), m.argument(1)
        if window is None:
            return 0
        m.write(rect, struct.pack("<4i", *window.rect))
        return 1

    def ShowWindow(self, m):
        window = self._window(m.argument(0))
        if window is not None and window.procedure:
            return self._send(window, WM_ACTIVATE, 1, 0, lambda result: 0)
        return 0

    def UpdateWindow(self, m):
        window = self._window(m.argument(0))
        if window is not None and window.procedure:
            return self._send(window, WM_PAINT, 0, 0, lambda result: 1)
        return 1

    def BeginPaint(self, m):
        m.write(m.argument(1), bytes(64))
        return 0x7000

    def EndPaint(self, m):
        return 1

    def DefWindowProcW(self, m):
        self.default_handled.append(tuple(m.arguments(4)))
        return 0

    def DestroyWindow(self, m):
        window = self._window(m.argument(0))
        if window is None:
            return 0
        window.destroyed = True
        return 1

    def PostQuitMessage(self, m):
        self.queue.append((0, WM_QUIT, m.argument(0), 0))
        return 0

    def GetMessageW(self, m):
        message = m.argument(0)
        if self.instructions_at_first_wait is None:
            self.instructions_at_first_wait = m.instructions
        while not self.queue:
            if not self.script:
                raise RunFailed("the program waits for input the run does not give")
            self.script.pop(0)(self)
        window, number, w_param, l_param = self.queue.pop(0)
        m.write(message, struct.pack("<7I", window, number, w_param, l_param, 0, 0, 0))
        return 0 if number == WM_QUIT else 1

    def TranslateAcceleratorW(self, m):
        window, _, message = m.arguments(3)
        _, number, key, _ = struct.unpack("<4I", m.uc.mem_read(message, 16))
        if number != WM_KEYDOWN or not self.control_held:
            return 0
        for virtual, accelerator_key, command in self.accelerators:
            if accelerator_key == key and virtual & 0x08:  # FCONTROL
                target = self._window(window)
                if target is not None and target.procedure:
                    return self._send(target, WM_COMMAND, 0x10000 | command, 0, lambda result: 1)
                return 1  # a control got the command and does nothing with it
        return 0

    def TranslateMessage(self, m):
        return 0

    def DispatchMessageW(self, m):
        window, number, w_param, l_param = struct.unpack("<4I", m.uc.mem_read(m.argument(0), 16))
        target = self._window(window)
        if target is not None and target.procedure:
            return self._send(target, number, w_param, l_param)
        return 0

    def SendMessageW(self, m):
        window, number, w_param, l_param = m.arguments(4)
        target = self._window(window)
        if target is None:
            return 0
        if target.procedure:
            return self._send(target, number, w_param, l_param)
        if number == BM_SETCHECK:
            target.checked = w_param
        elif number == BM_GETCHECK:
            return target.checked
        elif number == EM_GETLINE:
            # The capacity word first, no NUL after the copy ("EM_GETLINE", Windows Mobile 6.5 docs,
            # aa921607). On an empty line the word is left as it was: the page does not say, and
            # this is the case the program must handle defensively.
            capacity = m.u16(l_param)
            line = target.text.split("\r")[0][:capacity]
            if line:
                m.write(l_param, line.encode("utf-16-le"))
            return len(line)
        return 0

    # The shell.
    def SHInitExtraControls(self, m):
        return 1

    def SHCreateMenuBar(self, m):
        at = m.argument(0)
        fields = struct.unpack("<9I", m.uc.mem_read(at, 36))
        self.shell["menu bar"] = fields
        if self.fail_menu_bar:
            return 0
        handle = self._new_window("menu_worker", "", 0, (0, self.screen[1] - MENU_BAR) + self.screen, fields[1])
        m.write_u32(at + 28, handle)
        return 1

    def SHInitDialog(self, m):
        fields = struct.unpack("<3I", m.uc.mem_read(m.argument(0), 12))
        self.shell["dialog"] = fields
        window = self._window(fields[1])
        if window is not None and fields[0] & 1 and fields[2] & SHIDIF_SIZEDLGFULLSCREEN:
            window.rect = (0, TOP_BAR, self.screen[0], self.screen[1] - MENU_BAR)
        return 1

    def _handler(self, name, m, flags):
        window, w_param, l_param, activation = m.arguments(4)
        self.shell.setdefault(name, []).append((window, w_param, l_param, activation,
                                                 m.u32(activation) if activation else None, flags))
        return 1

    def SHHandleWMActivate(self, m):
        return self._handler("activate", m, m.argument(4))

    def SHHandleWMSettingChange(self, m):
        return self._handler("setting change", m, 0)

    def models(self):
        """The modelled functions by name: every method but this one and the helpers (_...)."""
        return {name: getattr(self, name) for name in dir(self)
                if not name.startswith("_") and name != "models" and callable(getattr(self, name))}
