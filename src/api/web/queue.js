// The Queue page: queued, sending, uncertain and failed messages; retry and cancel.
import { call } from './api.js';
import { announce, byId, clear, el } from './dom.js';

let canSend = false;

export function setScope(scope) {
  canSend = scope === 'send' || scope === 'admin';
}

async function act(method, path, done) {
  try {
    await call(method, path);
    announce(done);
  } catch (e) {
    announce(e.message);
  }
  await load();
}

export async function load() {
  const data = await call('GET', '/v1/queue');
  const body = byId('queue').tBodies[0];
  clear(body);
  for (const m of data.messages) {
    const actions = el('td');
    if (canSend && (m.status === 'uncertain' || m.status === 'failed')) {
      actions.append(
        el('button', {
          type: 'button',
          text: 'Retry',
          'aria-label': `Retry message ${m.id}`,
          onclick: () => act('POST', `/v1/messages/${m.id}/retry`, `Message ${m.id} queued again`),
        }),
      );
    }
    if (canSend && m.status === 'queued') {
      actions.append(
        el('button', {
          type: 'button',
          text: 'Cancel',
          'aria-label': `Cancel message ${m.id}`,
          onclick: () => act('DELETE', `/v1/messages/${m.id}`, `Message ${m.id} cancelled`),
        }),
      );
    }
    body.append(
      el(
        'tr',
        { 'data-id': m.id },
        el('td', { text: m.id }),
        el('td', { dir: 'auto', text: m.peer }),
        el('td', { dir: 'auto', class: 'summary', text: m.summary }),
        el('td', {}, el('span', { class: `status status-${m.status}`, text: m.status })),
        el('td', { text: m.attempts }),
        el('td', { dir: 'auto', class: 'error', text: m.error || '' }),
        actions,
      ),
    );
  }
  byId('queue-empty').hidden = data.messages.length > 0;
}
