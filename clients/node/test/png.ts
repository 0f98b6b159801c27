// A small PNG reader for the chart tests: 8-bit RGB or RGBA, not interlaced, which is what
// rsvg-convert writes.

import { inflateSync } from "node:zlib";

export interface Image {
  width: number;
  height: number;
  /** RGBA, 4 bytes per pixel, rows top to bottom. */
  pixels: Buffer;
}

export function decodePng(file: Buffer): Image {
  if (file.readUInt32BE(0) !== 0x89504e47) throw new Error("not a PNG");
  let offset = 8;
  let width = 0,
    height = 0,
    colorType = 0;
  const data: Buffer[] = [];
  while (offset < file.length) {
    const length = file.readUInt32BE(offset);
    const type = file.toString("latin1", offset + 4, offset + 8);
    const body = file.subarray(offset + 8, offset + 8 + length);
    if (type === "IHDR") {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      colorType = body[9]!;
      if (body[8] !== 8 || body[12] !== 0 || (colorType !== 2 && colorType !== 6))
        throw new Error("unsupported PNG layout");
    } else if (type === "IDAT") {
      data.push(body);
    }
    offset += 12 + length;
  }
  const channels = colorType === 6 ? 4 : 3;
  const raw = inflateSync(Buffer.concat(data));
  const stride = width * channels;
  const rows = Buffer.alloc(height * stride);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)]!;
    for (let x = 0; x < stride; x++) {
      const cur = raw[y * (stride + 1) + 1 + x]!;
      const a = x >= channels ? rows[y * stride + x - channels]! : 0;
      const b = y > 0 ? rows[(y - 1) * stride + x]! : 0;
      const c = x >= channels && y > 0 ? rows[(y - 1) * stride + x - channels]! : 0;
      rows[y * stride + x] = (cur + [0, a, b, (a + b) >> 1, paeth(a, b, c)][filter]!) & 0xff;
    }
  }
  const pixels = Buffer.alloc(width * height * 4, 255);
  for (let i = 0; i < width * height; i++)
    rows.copy(pixels, i * 4, i * channels, i * channels + channels);
  return { width, height, pixels };
}

function paeth(a: number, b: number, c: number): number {
  const p = a + b - c;
  const pa = Math.abs(p - a),
    pb = Math.abs(p - b),
    pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

/** Pixels within the box whose colour is within `tolerance` of `hex` on every channel. */
export function countColor(
  image: Image,
  hex: string,
  box: { left: number; right: number; top: number; bottom: number },
  tolerance = 24,
): number {
  const want = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
  let count = 0;
  for (let y = Math.max(box.top, 0); y < Math.min(box.bottom, image.height); y++) {
    for (let x = Math.max(box.left, 0); x < Math.min(box.right, image.width); x++) {
      const at = (y * image.width + x) * 4;
      if (
        image.pixels[at + 3]! > 200 &&
        want.every((v, i) => Math.abs(image.pixels[at + i]! - v) <= tolerance)
      )
        count++;
    }
  }
  return count;
}
