#!/usr/bin/env python3
"""GET /v1/events as programs use it: kestrel api on a real SQLite store, plain sockets on the
loopback. Events of messages recorded by another program arrive with their ids; a client that
reconnects with Last-Event-ID gets exactly what it missed, in order; a stream needs a token; a
Last-Event-ID that is no id is refused; a node serves a bounded number of streams."""

import argparse
import json
import os
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kestrelweb as kw  # noqa: E402


class Stream:
    """One event stream over a socket: the head, then events parsed as they come."""

    def __init__(self, port, token=None, last_id=None):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=20)
        head = 'GET /v1/events HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\n'
        if token:
            head += f'Authorization: Bearer {token}\r\n'
        if last_id is not None:
            head += f'Last-Event-ID: {last_id}\r\n'
        self.sock.sendall((head + '\r\n').encode())
        self.buffer = b''
        while b'\r\n\r\n' not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                break
            self.buffer += chunk
        head, _, self.buffer = self.buffer.partition(b'\r\n\r\n')
        self.head = head.decode()
        self.status = int(self.head.split(' ')[1]) if self.head else 0

    def events(self, count, timeout=30):
        """The next count events (comments and retry lines skipped)."""
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < count:
            while b'\n\n' in self.buffer and len(out) < count:
                frame, _, self.buffer = self.buffer.partition(b'\n\n')
                fields = {}
                for line in frame.decode().split('\n'):
                    if line.startswith(':') or not line:
                        continue
                    name, _, value = line.partition(': ')
                    fields[name] = value
                if 'data' in fields:
                    out.append(fields)
            if len(out) >= count:
                break
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError('the stream ended')
            self.buffer += chunk
        return out

    def close(self):
        self.sock.close()


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print(f'ok: {what}', flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--kestrel', required=True)
    args = parser.parse_args()
    k = args.kestrel
    folder = tempfile.mkdtemp(prefix='kestrel-events-')
    config = kw.write_config(folder)
    store = os.path.join(folder, 'messages.sqlite')
    token = kw.kestrel_json(k, 'tokens', '--config', config, '--store', store, 'add', 'reader', '--scope', 'read')[0]['token']

    def receive(*texts):
        lines = [kw.with_sca(kw.gsm7_pdu('+491712000000', t)) for t in texts]
        kw.subprocess.run([k, 'messages', '--config', config, '--store', store, 'import', '-'],
                          input='\n'.join(lines) + '\n', capture_output=True, text=True, check=True)

    api = kw.Process([k, 'api', '--config', config, '--store', store, '--http', '127.0.0.1:0'])
    try:
        port = json.loads(api.wait_for(lambda l: '"listening"' in l))['port']

        refused = Stream(port)
        check(refused.status == 401, 'a stream needs a token')
        refused.close()
        bad = Stream(port, token, 'yesterday')
        check(bad.status == 400, 'a Last-Event-ID that is no id is refused')
        bad.close()

        first = Stream(port, token)
        check(first.status == 200 and 'text/event-stream' in first.head, 'the stream is text/event-stream')
        receive('one', 'two')
        got = first.events(2)
        ids = [int(e['id']) for e in got]
        check([e['event'] for e in got] == ['received', 'received'] and ids[1] > ids[0],
              'events of messages another program recorded arrive in order with their ids')
        data = json.loads(got[0]['data'])
        check(data['event'] == ids[0] and data['type'] == 'received' and data['message'] > 0 and
              data['peer'] == '+491712000000', 'an event names its message, type and peer')
        check('text' not in data and 'one' not in got[0]['data'], 'an event carries no message text')
        first.close()

        receive('three', 'four', 'five')
        again = Stream(port, token, ids[1])
        missed = again.events(3)
        check(len({int(e['id']) for e in missed}) == 3 and min(int(e['id']) for e in missed) > ids[1] and
              [int(e['id']) for e in missed] == sorted(int(e['id']) for e in missed),
              'a client that comes back with Last-Event-ID gets exactly what it missed, in order')
        again.close()

        fresh = Stream(port, token)
        receive('six')
        only = fresh.events(1)
        check(int(only[0]['id']) > int(missed[-1]['id']), 'a new stream starts with what happens from now on')
        fresh.close()

        # The bound: a node serves a limited number of streams; the next is refused, not queued.
        streams = [Stream(port, token) for _ in range(100)]
        check(all(s.status == 200 for s in streams), 'a node serves 100 streams')
        extra = Stream(port, token)
        check(extra.status == 503, 'the stream beyond the bound is refused with 503')
        extra.close()
        for s in streams:
            s.close()
        deadline = time.monotonic() + 20
        while True:
            later = Stream(port, token)
            if later.status == 200 or time.monotonic() > deadline:
                break
            later.close()
            time.sleep(0.2)
        check(later.status == 200, 'closed streams make room again')
        later.close()
    finally:
        api.stop()
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    except Exception as e:
        print(f'FAILED: {type(e).__name__}: {e}')
        sys.exit(1)
