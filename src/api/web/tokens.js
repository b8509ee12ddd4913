// The Tokens page (admin sessions): the API's tokens, a new one shown once, revoking.
import { call } from './api.js';
import { announce, byId, clear, el, shortTime } from './dom.js';

export async function load() {
  const data = await call('GET', '/v1/tokens');
  const body = byId('tokens').tBodies[0];
  clear(body);
  for (const t of data.tokens) {
    const revoke = el('button', { type: 'button', text: 'Revoke', 'aria-label': `Revoke ${t.name}` });
    revoke.addEventListener('click', async () => {
      try {
        await call('DELETE', `/v1/tokens?name=${encodeURIComponent(t.name)}`);
        announce(`Token ${t.name} revoked`);
      } catch (e) {
        announce(e.message);
      }
      await load();
    });
    body.append(
      el(
        'tr',
        {},
        el('th', { scope: 'row', text: t.name }),
        el('td', { text: t.scope }),
        el('td', {}, el('time', { datetime: t.created, text: shortTime(t.created) })),
        el('td', {}, revoke),
      ),
    );
  }
}

export function init() {
  byId('token-add').addEventListener('submit', async (event) => {
    event.preventDefault();
    const out = byId('token-new');
    try {
      const made = await call('POST', '/v1/tokens', { name: byId('token-name').value, scope: byId('token-scope').value });
      out.replaceChildren(`Token ${made.name} (shown once): `, el('code', { text: made.token }));
      byId('token-name').value = '';
    } catch (e) {
      out.textContent = e.message;
    }
    await load();
  });
}
