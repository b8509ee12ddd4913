"""What the console's browser tests and its measurement share: received PDUs built by hand, the
kestrel processes (virtual handsets, a gateway serving the API), and headless Chromium."""

import json
import os
import queue
import shutil
import subprocess
import threading
import time

# ---- SMS-DELIVER PDUs (TS 23.040 9.2.2.1), service-centre field first, as kestrel messages
# import and the virtual handset's deliver-pdu take them.

GSM_BASIC = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
             "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")


def pack_septets(codes, fill_bits=0):
    bits = 0
    nbits = fill_bits
    out = bytearray()
    for c in codes:
        bits |= (c & 0x7F) << nbits
        nbits += 7
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits > 0:
        out.append(bits & 0xFF)
    return bytes(out)


def address(number):
    """A TP-OA: international digits, or an alphanumeric sender in the default alphabet."""
    if number.startswith('+') and number[1:].isdigit():
        digits = number[1:]
        padded = digits + ('F' if len(digits) % 2 else '')
        swapped = ''.join(padded[i + 1] + padded[i] for i in range(0, len(padded), 2))
        return bytes([len(digits), 0x91]) + bytes.fromhex(swapped)
    codes = [GSM_BASIC.index(c) for c in number]
    packed = pack_septets(codes)
    return bytes([len(packed) * 2, 0xD0]) + packed


def timestamp(seconds=None):
    t = time.gmtime(seconds if seconds is not None else time.time())
    fields = [t.tm_year % 100, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0]
    return bytes(int(f'{v:02d}'[::-1], 16) for v in fields)


def deliver(sender, dcs, user_data, udl, header=False, seconds=None):
    first = 0x04 | (0x40 if header else 0)
    tpdu = bytes([first]) + address(sender) + bytes([0x00, dcs]) + timestamp(seconds) + bytes([udl]) + user_data
    return tpdu.hex().upper()


def ucs2_pdus(sender, text, reference=1, seconds=None):
    """A text in UCS2, in several segments when it is longer than 70 units."""
    units = text.encode('utf-16-be')
    if len(units) <= 140:
        return [deliver(sender, 0x08, units, len(units), seconds=seconds)]
    parts = [units[i:i + 134] for i in range(0, len(units), 134)]
    out = []
    for n, part in enumerate(parts, 1):
        ud = bytes([5, 0, 3, reference & 0xFF, len(parts), n]) + part
        out.append(deliver(sender, 0x08, ud, len(ud), header=True, seconds=seconds))
    return out


def gsm7_pdu(sender, text, seconds=None):
    codes = [GSM_BASIC.index(c) for c in text]
    return deliver(sender, 0x00, pack_septets(codes), len(codes), seconds=seconds)


def port_pdus(sender, port, payload, reference=1, seconds=None):
    """8-bit data for an application port (16-bit ports), concatenated as needed."""
    room = 140 - 12
    parts = [payload[i:i + room] for i in range(0, len(payload), room)] or [b'']
    out = []
    for n, part in enumerate(parts, 1):
        ud = bytes([11, 5, 4, port >> 8, port & 0xFF, 0, 0, 0, 3, reference & 0xFF, len(parts), n]) + part
        out.append(deliver(sender, 0x04, ud, len(ud), header=True, seconds=seconds))
    return out


def with_sca(tpdu):
    return '00' + tpdu

# ---- processes


class Process:
    """A kestrel process with its output lines read on a thread of their own."""

    def __init__(self, args, stdin=False, env=None):
        self.args = args
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
                                     env=env)
        self.lines = queue.Queue()
        self.errors = []
        threading.Thread(target=self._read, args=(self.proc.stdout, self.lines), daemon=True).start()
        threading.Thread(target=self._collect, daemon=True).start()

    @staticmethod
    def _read(stream, into):
        for line in stream:
            into.put(line.rstrip('\n'))
        into.put(None)

    def _collect(self):
        for line in self.proc.stderr:
            self.errors.append(line.rstrip('\n'))

    def next_line(self, timeout=30):
        line = self.lines.get(timeout=timeout)
        if line is None:
            raise RuntimeError(f'{self.args[1]} ended: {" / ".join(self.errors[-5:])}')
        return line

    def wait_for(self, predicate, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f'{self.args[1]}: nothing matched in {timeout} s')
            line = self.next_line(left)
            if predicate(line):
                return line

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Handset(Process):
    """kestrel simulate: the device path on the first line, control lines answered with OK."""

    def __init__(self, kestrel, *options):
        super().__init__([kestrel, 'simulate', *options], stdin=True)
        self.device = self.next_line()

    def control(self, line, timeout=30):
        self.proc.stdin.write(line + '\n')
        self.proc.stdin.flush()
        out = []
        while True:
            answer = self.next_line(timeout)
            if answer == 'OK':
                return out
            if answer.startswith('ERROR'):
                raise RuntimeError(f'{line[:40]}: {answer}')
            out.append(answer)


class Gateway(Process):
    """kestrel gateway --http on a free loopback port; its event lines are JSON."""

    def __init__(self, kestrel, config, store, modems, extra=()):
        args = [kestrel, 'gateway', '--config', config, '--store', store, '--http', '127.0.0.1:0', '--poll', '200']
        for m in modems:
            args += ['--modem', m]
        super().__init__(args + list(extra))
        self.port = None
        line = self.wait_for(lambda l: '"listening"' in l)
        self.port = json.loads(line)['port']
        self.url = f'http://127.0.0.1:{self.port}'


def kestrel_json(kestrel, *args, stdin=None):
    out = subprocess.run([kestrel, *args], input=stdin, capture_output=True, text=True, check=True)
    return [json.loads(l) for l in out.stdout.splitlines() if l.startswith('{')]


def write_config(folder):
    path = os.path.join(folder, 'gsm.ini')
    with open(path, 'w') as f:
        f.write('[Modem.Files]\nGSMLog=<none>\nSMSLog=<none>\n')
    return path

# ---- the browser


def chromium_missing():
    for name in ('chromium', 'chromedriver'):
        if not shutil.which(name):
            return f'{name} is not installed (scripts/deps installs chromium and chromium-driver)'
    try:
        import selenium  # noqa: F401
    except ImportError:
        return 'python3-selenium is not installed (scripts/deps installs it)'
    return None


def browser(width=1280, height=900):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which('chromium')
    for arg in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu',
                f'--window-size={width},{height}', '--autoplay-policy=no-user-gesture-required'):
        options.add_argument(arg)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)


def wait(driver, condition, timeout=30, message=''):
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(condition, message)


def sign_in(driver, url, token):
    from selenium.webdriver.common.by import By
    driver.get(url + '/')
    wait(driver, lambda d: d.find_element(By.ID, 'sign-in').is_displayed(), message='sign-in form')
    field = driver.find_element(By.ID, 'token')
    field.clear()
    field.send_keys(token)
    driver.find_element(By.CSS_SELECTOR, '#sign-in button[type=submit]').click()
    wait(driver, lambda d: d.find_element(By.ID, 'nav').is_displayed(), message='signed in')
