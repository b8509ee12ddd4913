// One message as the Messages view shows it: its text in any script and direction, its pictures
// drawn on a canvas from the server's PNG (animations frame by frame), a melody's notes with a
// Play button, a vCard's or vCalendar's fields as a card, and its delivery status with its parts.
import { el, safeUrl, shortTime } from './dom.js';
import { toggle } from './melody.js';

const kScale = 3;

function pictureOf(p) {
  const canvas = el('canvas', {
    class: 'picture',
    width: p.width * kScale,
    height: p.height * kScale,
    role: 'img',
    'aria-label': p.label,
    'data-frames': p.frames,
  });
  const image = new Image();
  image.addEventListener('load', () => {
    const g = canvas.getContext('2d');
    g.imageSmoothingEnabled = false;
    let frame = 0;
    const draw = () => {
      g.fillStyle = '#fff';
      g.fillRect(0, 0, canvas.width, canvas.height);
      g.drawImage(image, frame * p.width, 0, p.width, p.height, 0, 0, canvas.width, canvas.height);
      canvas.dataset.drawn = 'true';
    };
    draw();
    if (p.frames > 1) {
      const timer = setInterval(() => {
        if (!canvas.isConnected) {
          clearInterval(timer);
          return;
        }
        frame = (frame + 1) % p.frames;
        draw();
      }, Math.max(100, p.frameMs || 400));
    }
  });
  image.src = p.url;
  return el('figure', {}, canvas, el('figcaption', { text: p.label }));
}

function cardOf(fields) {
  const list = el('dl', { class: 'card' });
  for (const [name, value] of fields) {
    list.append(el('dt', { text: name }));
    const url = name === 'URL' ? safeUrl(value) : null;
    // Only http and https addresses become links; anything else (javascript:, data:) stays text.
    list.append(
      el('dd', { dir: 'auto' }, url ? el('a', { href: url.href, rel: 'noopener noreferrer', text: value }) : value),
    );
  }
  return list;
}

function partsOf(m) {
  if (!m.segments || m.segments.length < 2) return null;
  const counts = {};
  for (const s of m.segments) counts[s.status] = (counts[s.status] || 0) + 1;
  const text = Object.entries(counts)
    .map(([status, n]) => `${n} ${status}`)
    .join(', ');
  return el('span', { class: 'parts', text: `${m.segments.length} parts: ${text}` });
}

export function messageItem(m) {
  const item = el('li', {
    class: `message ${m.direction === 'sent' ? 'out' : 'in'}`,
    'data-id': m.id,
    'data-status': m.status,
  });
  if (m.title) item.append(el('p', { class: 'title', dir: 'auto', text: m.title }));
  if (m.text) item.append(el('p', { class: 'text', dir: 'auto', text: m.text }));
  for (const p of m.pictures || []) item.append(pictureOf(p));
  if (m.melody) {
    const button = el('button', { type: 'button', 'aria-pressed': 'false', text: 'Play' });
    button.addEventListener('click', () => toggle(button, m.melody.tones));
    item.append(el('p', { class: 'notes', dir: 'ltr', text: m.melody.notes }), button);
  }
  if (m.card) item.append(cardOf(m.card));
  if (m.problem) item.append(el('p', { class: 'problem', text: m.problem }));
  if (m.progress) item.append(el('p', { class: 'muted', text: m.progress }));
  const meta = el('p', { class: 'meta' }, el('time', { datetime: m.time, text: shortTime(m.time) }));
  if (m.direction === 'sent') {
    meta.append(' · ', el('span', { class: `status status-${m.status}`, text: m.status }));
    const parts = partsOf(m);
    if (parts) meta.append(' · ', parts);
    if (m.error) meta.append(' · ', el('span', { class: 'error', text: m.error }));
  }
  if (m.modem) meta.append(' · ', el('span', { text: m.modem }));
  item.append(meta);
  return item;
}
