#!/usr/bin/env python3
"""The web console in headless Chromium, as its users see it: a virtual handset on a real
pseudo-terminal, kestrel gateway --http on an SQLite store, and the console served by it.

Signs in, sees the modem, sees a message arrive live, replies from the reply box and sees the
handset take the reply and its status turn delivered, sees a received picture message drawn
(pixels checked), renders a table of hostile messages harmlessly, checks that the reply counter
agrees with the composer's table, that a change without the CSRF token is refused and that
sign-out ends the session on the server. Prints the page's figures as JSON on its last line.
Exit 77 (skipped) only where Chromium or Selenium is missing."""

import argparse
import json
import os
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kestrelweb as kw  # noqa: E402

OWN = '+491710000001'
FRIEND = '+491712345678'
ARTIST = '+491718888888'
PICTURE_W, PICTURE_H = 72, 28

# Each row: a sender, its PDUs, and what the page must show of it as plain text.
HOSTILE_SCRIPT = '<script>window.__pwned = 1</script>'
HOSTILE_IMG = '<img src=x onerror="window.__pwned = 2">'
HOSTILE_RLO = 'Invoice \u202Egpj.exe\u202C paid'
HOSTILE_MARKS = 'Z' + '\u0336' * 10000
HOSTILE_VCARD = ('BEGIN:VCARD\r\nVERSION:2.1\r\nN:Mallory\r\nTEL:+4917099\r\n'
                 'URL:javascript:window.__pwned=3\r\nEND:VCARD\r\n')
HOSTILE_SENDER = '<b>x</b>'


def hostile_rows():
    return [
        ('+491700000011', kw.ucs2_pdus('+491700000011', HOSTILE_SCRIPT, 11), HOSTILE_SCRIPT),
        ('+491700000012', kw.ucs2_pdus('+491700000012', HOSTILE_IMG, 12), HOSTILE_IMG),
        ('+491700000013', kw.ucs2_pdus('+491700000013', HOSTILE_RLO, 13), HOSTILE_RLO),
        ('+491700000014', kw.ucs2_pdus('+491700000014', HOSTILE_MARKS, 14), HOSTILE_MARKS),
        ('+491700000015', kw.port_pdus('+491700000015', 9204, HOSTILE_VCARD.encode(), 15), None),
        (HOSTILE_SENDER, [kw.gsm7_pdu(HOSTILE_SENDER, '<i>hello</i>')], '<i>hello</i>'),
    ]


def bitmap_payload(kestrel, folder):
    # A PNG of the picture, as kestrel bitmap --encode takes it: written as a plain PBM-like PNG.
    import struct
    import zlib
    rows = []
    for y in range(PICTURE_H):
        row = bytearray([0])
        for x in range(PICTURE_W):
            row += b'\x00\x00\x00' if x < PICTURE_W // 2 else b'\xff\xff\xff'
        rows.append(bytes(row))
    raw = zlib.compress(b''.join(rows))

    def chunk(kind, data):
        c = struct.pack('>I', len(data)) + kind + data
        return c + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)
    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', PICTURE_W, PICTURE_H, 8, 2, 0, 0, 0))
    png += chunk(b'IDAT', raw) + chunk(b'IEND', b'')
    path = os.path.join(folder, 'half.png')
    with open(path, 'wb') as f:
        f.write(png)
    out = kw.subprocess.run([kestrel, 'bitmap', '--encode', path, '--kind', 'picture'], capture_output=True,
                            text=True, check=True)
    return bytes.fromhex(out.stdout.strip())


def open_thread(driver, url, peer):
    """Opens a conversation by its address and waits until it shows that conversation."""
    from selenium.webdriver.common.by import By
    driver.get(url + f'/#conversations/{urllib.parse.quote(peer)}')
    kw.wait(driver, lambda d: d.execute_script(
        "return document.getElementById('thread').dataset.peer === arguments[0]", peer) and
        d.find_elements(By.CSS_SELECTOR, '#thread li.message'), message=f'conversation {peer}')


def http(url, method='GET', headers=None, body=None):
    request = urllib.request.Request(url, method=method, headers=headers or {}, data=body)
    try:
        with urllib.request.urlopen(request, timeout=20) as answer:
            return answer.status, dict(answer.headers), answer.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print(f'ok: {what}', flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--kestrel', required=True)
    parser.add_argument('--screenshots', help='folder for web-modems.png and web-conversation.png')
    parser.add_argument('--fill', type=int, default=0,
                        help='messages put into the store first (from 1000 peers), for the figures')
    args = parser.parse_args()
    missing = kw.chromium_missing()
    if missing:
        print(f'skipped: {missing}')
        return 77
    from selenium.webdriver.common.by import By

    folder = tempfile.mkdtemp(prefix='kestrel-web-')
    config = kw.write_config(folder)
    store = os.path.join(folder, 'messages.sqlite')
    k = args.kestrel
    figures = {}
    admin = kw.kestrel_json(k, 'tokens', '--config', config, '--store', store, 'add', 'admin', '--scope', 'admin')[0]
    reader = kw.kestrel_json(k, 'tokens', '--config', config, '--store', store, 'add', 'reader', '--scope', 'read')[0]

    if args.fill:
        start = time.time() - args.fill
        lines = [kw.with_sca(kw.gsm7_pdu('+4917%07d' % (i % 1000), f'Message {i} about order {i * 7919 % 100000}',
                                         seconds=start + i)) for i in range(args.fill)]
        began = time.monotonic()
        kw.subprocess.run([k, 'messages', '--config', config, '--store', store, 'import', '-'],
                          input='\n'.join(lines) + '\n', capture_output=True, text=True, check=True)
        figures['filled'] = args.fill
        figures['fill_s'] = round(time.monotonic() - began, 1)

    # The hostile table is in the store before the gateway starts, as received messages.
    lines = [kw.with_sca(p) for _, pdus, _ in hostile_rows() for p in pdus]
    kw.subprocess.run([k, 'messages', '--config', config, '--store', store, 'import', '-'],
                      input='\n'.join(lines) + '\n', capture_output=True, text=True, check=True)

    handset = kw.Handset(k, '--equipment', 'Generic', '--own-number', OWN)
    gateway = kw.Gateway(k, config, store, [f'{handset.device},equipment=Generic,name=left'])
    driver = None
    try:
        url = gateway.url
        status, headers, _ = http(url + '/')
        csp = headers.get('Content-Security-Policy', '')
        check(status == 200 and "default-src 'self'" in csp and 'unsafe-inline' not in csp
              and "frame-ancestors 'none'" in csp, 'the page comes with a strict Content-Security-Policy')
        check(headers.get('X-Content-Type-Options') == 'nosniff' and headers.get('Referrer-Policy') == 'no-referrer',
              'the page comes with nosniff and no-referrer')

        driver = kw.browser()
        driver.get(url + '/')
        kw.wait(driver, lambda d: d.find_element(By.ID, 'sign-in').is_displayed(), message='sign-in form')
        driver.find_element(By.ID, 'token').send_keys('kst_not-a-token')
        driver.find_element(By.CSS_SELECTOR, '#sign-in button[type=submit]').click()
        kw.wait(driver, lambda d: d.find_element(By.ID, 'sign-in-error').text != '', message='refusal shown')
        check(not driver.find_element(By.ID, 'nav').is_displayed(), 'a wrong token does not sign in')

        kw.sign_in(driver, url, admin['token'])
        cookie = next(c for c in driver.get_cookies() if c['name'] == 'kestrel_session')
        check(cookie['httpOnly'] and cookie.get('sameSite') == 'Strict', 'the session cookie is HttpOnly and SameSite=Strict')
        check(driver.find_element(By.CSS_SELECTOR, 'a[data-page=tokens]').is_displayed(), 'an admin session sees Tokens')

        # Modems.
        driver.get(url + '/#modems')
        row = kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#modems tr[data-label=left] .state-up'),
                      timeout=60, message='modem left up')
        # The table is redrawn as modem events come: read it in one go.
        cells = driver.execute_script(
            "return [...document.querySelectorAll('#modems tr[data-label=left] td')].map(c => c.textContent)")
        check(row and handset.device in cells and 'Generic' in cells and 'home' in cells,
              'the modem shows its device, type, home registration and state up')

        # A message arrives while the conversations are open: it shows up without a reload.
        driver.get(url + '/#conversations')
        kw.wait(driver, lambda d: d.execute_script("return document.body.dataset.live === 'true'"), message='live')
        driver.execute_script('window.__sameDocument = true')
        handset.control(f'deliver {FRIEND} Are you there?')
        kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, f'#conversations li[data-peer="{FRIEND}"]'),
                timeout=30, message='new conversation live')
        check(driver.execute_script('return window.__sameDocument === true'), 'a received message appears without reloading')

        # Opening a conversation, then a new message in it.
        t0 = driver.execute_script('return performance.now()')
        driver.find_element(By.CSS_SELECTOR, f'#conversations li[data-peer="{FRIEND}"] a').click()
        kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#thread li.message'), message='thread open')
        figures['conversation_open_ms'] = round(driver.execute_script('return performance.now()') - t0, 1)
        driver.execute_script("""
            window.__seen = null;
            new MutationObserver(() => {
              if (!window.__seen && [...document.querySelectorAll('#thread .text')].some(e => e.textContent === 'Second one'))
                window.__seen = performance.now();
            }).observe(document.getElementById('thread'), {childList: true, subtree: true, characterData: true});""")
        t_sent = driver.execute_script('return performance.now()')
        handset.control(f'deliver {FRIEND} Second one')
        kw.wait(driver, lambda d: d.execute_script('return window.__seen'), message='second message live')
        figures['new_message_visible_ms'] = round(driver.execute_script('return window.__seen') - t_sent, 1)
        check(True, 'a new message shows in the open conversation')

        # A reply from the reply box: the counter counts, the handset takes it, it turns delivered.
        # (The handset's own number: its network hands the message back with a status report.)
        handset.control(f'deliver {OWN} Ping')
        open_thread(driver, url, OWN)
        box = driver.find_element(By.ID, 'reply-text')
        box.send_keys('Pong €')
        check(driver.find_element(By.ID, 'reply-counter').text == '6 characters, 1 message',
              'the reply counter counts as the window does')
        driver.find_element(By.CSS_SELECTOR, '#reply button[type=submit]').click()
        kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#thread li.out[data-status=delivered]'),
                timeout=90, message='reply delivered')
        check(True, 'the reply\'s status turned delivered without a reload')
        sent = handset.control('sent')
        check(any(OWN.lstrip('+') in line for line in sent), 'the handset took the reply')

        # A picture message arrives: drawn, left half black, right half white.
        for pdu in kw.port_pdus(ARTIST, 5514, bitmap_payload(k, folder), 77):
            handset.control(f'deliver-pdu {pdu}')
        open_thread(driver, url, ARTIST)
        kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#thread canvas[data-drawn]'),
                timeout=60, message='picture drawn')
        pixels = driver.execute_script("""
            const c = document.querySelector('#thread canvas[data-drawn]');
            const g = c.getContext('2d');
            const at = (x, y) => Array.from(g.getImageData(x, y, 1, 1).data.slice(0, 3));
            return {w: c.width, h: c.height, left: at(c.width * 0.25, c.height / 2), right: at(c.width * 0.75, c.height / 2)};""")
        check(pixels['w'] == PICTURE_W * 3 and pixels['h'] == PICTURE_H * 3, 'the picture is drawn at its size')
        check(pixels['left'] == [0, 0, 0] and pixels['right'] == [255, 255, 255],
              'the picture\'s pixels are right (black left half, white right half)')
        if args.screenshots:
            driver.save_screenshot(os.path.join(args.screenshots, 'web-conversation.png'))

        # The hostile table: each shown as text; no script ran, nothing was injected.
        for peer, _, text in hostile_rows():
            open_thread(driver, url, peer)
            shown = driver.execute_script("""
                const t = document.getElementById('thread');
                return {texts: [...t.querySelectorAll('.text')].map(e => e.textContent),
                        dirs: [...t.querySelectorAll('.text')].map(e => e.getAttribute('dir')),
                        injected: t.querySelectorAll('script, img, iframe, object, embed, b, i').length,
                        links: [...t.querySelectorAll('a')].map(a => a.getAttribute('href')),
                        peer: document.getElementById('thread-peer').textContent,
                        pwned: window.__pwned === undefined ? null : window.__pwned};""")
            check(shown['pwned'] is None and shown['injected'] == 0, f'{peer[:20]}: no script ran, no element injected')
            check(shown['peer'] == peer, f'{peer[:20]}: the sender shows as text')
            if text is not None:
                check(text in shown['texts'] and 'auto' in shown['dirs'], f'{peer[:20]}: the text shows as text, direction auto')
            else:
                card = driver.execute_script("""return [...document.querySelectorAll('#thread .card dd')].map(e => e.textContent)""")
                check('javascript:window.__pwned=3' in card and not shown['links'],
                      'a javascript: URL of a vCard shows as text, not as a link')
        logs = [e for e in driver.get_log('browser') if 'Content Security Policy' in e.get('message', '')]
        check(not logs, 'nothing the page did broke its Content-Security-Policy')

        # The counter agrees with the composer's table.
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'counter_cases.json')) as f:
            cases = json.load(f)
        results = driver.execute_async_script("""
            const [cases, done] = arguments;
            Promise.all([import('/console/counter.js'), fetch('/v1/alphabet').then(r => r.json())]).then(([m, a]) => {
              m.setAlphabet(a);
              done(cases.map(c => m.count(c.text)));
            });""", cases)
        for case, result in zip(cases, results):
            if 'error' in case:
                check(result.get('error') == case['error'], f'counter: {case["name"]}')
            else:
                check(result.get('messages') == case['messages'], f'counter: {case["name"]} ({result})')

        # CSRF: a change without the session's token is refused; with it, taken.
        csrf = driver.execute_script("""
            const body = JSON.stringify({to: '+491711111111', text: 'no token'});
            const without = await fetch('/v1/messages', {method: 'POST', headers: {'Content-Type': 'application/json'}, body});
            const session = await (await fetch('/v1/session')).json();
            const withIt = await fetch('/v1/messages', {method: 'POST', body: JSON.stringify({to: '+491711111111', text: 'with token'}),
              headers: {'Content-Type': 'application/json', 'X-CSRF-Token': session.csrf}});
            return [without.status, withIt.status];""")
        check(csrf == [403, 202], f'a change without the CSRF token is refused, with it taken ({csrf})')

        # Queue: the message just queued is there (a gateway may already send it).
        driver.get(url + '/#queue')
        kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#queue tbody tr') or
                d.find_element(By.ID, 'queue-empty').is_displayed(), message='queue')

        # A read token sees but does not reply.
        if args.screenshots:
            driver.get(url + '/#modems')
            kw.wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#modems tr[data-label=left]'), message='modems')
            driver.save_screenshot(os.path.join(args.screenshots, 'web-modems.png'))

        # Usable: every control has a name; at a phone's width (390 px) nothing runs off the side.
        unlabelled = driver.execute_script('''
            return [...document.querySelectorAll('input, textarea, select, button, a[href]')].filter(e => {
              if (e.closest('[hidden]')) return false;
              const label = e.id && document.querySelector(`label[for="${e.id}"]`);
              return !(label || e.getAttribute('aria-label') || e.textContent.trim() || e.getAttribute('placeholder'));
            }).map(e => e.outerHTML.slice(0, 80));''')
        check(not unlabelled, f'every control is labelled ({unlabelled})')
        driver.set_window_size(390, 844)
        open_thread(driver, url, FRIEND)
        widths = driver.execute_script('return [document.documentElement.scrollWidth, window.innerWidth]')
        check(widths[0] <= widths[1] and driver.find_element(By.ID, 'reply-text').is_displayed() and
              not driver.find_element(By.ID, 'conversations').is_displayed(),
              f'at 390 px a conversation fills the screen without running off the side ({widths})')
        driver.find_element(By.ID, 'thread-back').click()
        kw.wait(driver, lambda d: d.find_element(By.ID, 'conversations').is_displayed(), message='back to the list')
        driver.set_window_size(1280, 900)

        # Sign-out ends the session on the server: the old cookie no longer opens anything.
        old = next(c for c in driver.get_cookies() if c['name'] == 'kestrel_session')['value']
        driver.find_element(By.ID, 'sign-out').click()
        kw.wait(driver, lambda d: d.find_element(By.ID, 'sign-in').is_displayed(), message='signed out')
        status, _, _ = http(url + '/v1/queue', headers={'Cookie': f'kestrel_session={old}'})
        check(status == 401, 'after sign-out the old session cookie is refused')

        kw.sign_in(driver, url, reader['token'])
        open_thread(driver, url, FRIEND)
        check(not driver.find_element(By.ID, 'reply').is_displayed() and
              not driver.find_element(By.CSS_SELECTOR, 'a[data-page=tokens]').is_displayed(),
              'a read session sees no reply box and no Tokens')

        # The first page's figures.
        driver.get(url + '/')
        kw.wait(driver, lambda d: d.execute_script("return document.body.dataset.ready === 'true'"), message='ready')
        nav = driver.execute_script("""
            const n = performance.getEntriesByType('navigation')[0];
            const all = performance.getEntriesByType('resource').reduce((s, r) => s + r.transferSize, n.transferSize);
            return {load: n.loadEventEnd, size: all};""")
        figures['first_page_load_ms'] = round(nav['load'], 1)
        figures['first_page_bytes'] = nav['size']
        ready = driver.execute_script(
            "const m = performance.getEntriesByName('console-ready')[0]; return m ? m.startTime : null")
        figures['first_page_ready_ms'] = round(ready, 1) if ready is not None else None
        if args.fill:
            # A conversation of the filled store (100 messages each for 1000 peers, of which a page).
            peer = '+49170000000'
            figures['filled_conversation_open_ms'] = round(driver.execute_async_script('''
                const [peer, done] = arguments;
                const thread = document.getElementById('thread');
                const t0 = performance.now();
                new MutationObserver((_, o) => {
                  if (thread.dataset.peer === peer) { o.disconnect(); done(performance.now() - t0); }
                }).observe(thread, {attributes: true, attributeFilter: ['data-peer']});
                location.hash = '#conversations/' + encodeURIComponent(peer);''', peer), 1)
    finally:
        if driver:
            driver.quit()
        gateway.stop()
        handset.stop()
    print(json.dumps({'figures': figures}))
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    except Exception as e:  # a failed check, a wait that timed out, a process that ended
        print(f'FAILED: {type(e).__name__}: {e}')
        sys.exit(1)
