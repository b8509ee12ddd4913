// The Modems page: every gateway's modems as their gateways last wrote them.
import { call } from './api.js';
import { byId, clear, el, shortTime } from './dom.js';

const registrations = { 1: 'home', 5: 'roaming' };

// +CSQ's signal (0-31, 99 unknown) as 0 to 4 bars.
function bars(signal) {
  // Gateways that do not report the signal: a dash, not four empty bars.
  if (signal === undefined || signal === null) return el('span', { class: 'muted', title: 'not reported', text: '—' });
  const known = Number.isInteger(signal) && signal >= 0 && signal <= 31;
  const n = known ? Math.min(4, Math.ceil(signal / 8)) : 0;
  const label = known ? `${n} of 4 bars` : 'unknown';
  const box = el('span', { class: 'bars', role: 'img', 'aria-label': label, title: label });
  for (let i = 1; i <= 4; i++) box.append(el('span', { class: i <= n ? 'bar on' : 'bar' }));
  return box;
}

export async function load() {
  const data = await call('GET', '/v1/modems');
  const body = byId('modems').tBodies[0];
  clear(body);
  for (const m of data.modems) {
    body.append(
      el(
        'tr',
        { 'data-label': m.label },
        el('th', { scope: 'row', dir: 'auto', text: m.label }),
        el('td', { text: m.device }),
        el('td', { text: m.equipment }),
        el('td', { text: registrations[m.registration] || 'none' }),
        el('td', {}, bars(m.signal)),
        el('td', { dir: 'auto', text: m.operator || '—' }),
        el('td', {}, el('time', { datetime: m.lastContact || '', text: shortTime(m.lastContact) })),
        el('td', { text: `${m.sentToday} sent, ${m.receivedToday} received` }),
        el('td', {}, el('span', { class: `state state-${m.state}`, text: m.state })),
      ),
    );
  }
  byId('modems-empty').hidden = data.modems.length > 0;
}
