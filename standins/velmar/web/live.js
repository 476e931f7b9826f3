// The live view: velmar's scene in three.js, kept current by the binary
// frames velmar sends over the WebSocket at /live (their layout is in
// velmar's live_frames.h). One mesh per surface, however large (a surface
// too large for one frame comes as its counts, then ranges of its arrays),
// drawn as velmar draws its own pictures: the
// same light, both faces lit, glass see-through. After each update the page
// tells velmar, as a text message, when the update was applied (in the
// page's buffers), drawn (the first frame after it finished) and shown.
'use strict';
(function () {
  const KIND = { update: 1, material: 2, geometry: 3, texture: 4, remove: 5, camera: 6, ended: 7, range: 8 };
  const ARRAYS = ['position', 'normal', 'uv'];  // then 3: the index
  const ARRAYS_FOLLOW = 1;  // a geometry frame's flag: its arrays come in range frames
  const GLASS = 2;
  const root = document.documentElement;
  const text = new TextDecoder();
  const overlay = {
    link: document.getElementById('link'),
    counts: document.getElementById('counts'),
    last: document.getElementById('last'),
    follow: document.getElementById('follow'),
    fit: document.getElementById('fit'),
  };

  const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
  renderer.setPixelRatio(1);
  renderer.setSize(innerWidth, innerHeight);
  renderer.setClearColor(0xdde4ec);
  renderer.sortObjects = true;
  document.body.appendChild(renderer.domElement);
  const gl = renderer.getContext();
  const scene = new THREE.Scene();
  const camera = new THREE.PerspectiveCamera(45, innerWidth / innerHeight, 0.05, 5000);
  camera.position.set(10, 10, 10);
  const controls = new THREE.OrbitControls(camera, renderer.domElement);
  controls.addEventListener('change', draw);
  // Orbiting by hand stops following the host's camera.
  controls.addEventListener('start', () => { overlay.follow.checked = false; userMoved = true; });
  overlay.follow.addEventListener('change', () => { followChosen = true; placeCamera(); draw(); });
  // The whole model in view: stops following the host's camera, as
  // orbiting does, and frames the model as velmar's pictures do.
  overlay.fit.addEventListener('click', () => {
    if (!link || !link.bounds) return;
    overlay.follow.checked = false;
    followChosen = userMoved = true;
    frameModel(link.bounds);
    root.dataset.fitted = String(link.update);
    draw();
  });
  addEventListener('resize', () => {
    renderer.setSize(innerWidth, innerHeight);
    camera.aspect = innerWidth / innerHeight;
    placeCamera();
    draw();
  });

  // velmar's shading: light from above, left of and behind the viewer, in
  // view space; the normal turned towards the viewer, so both faces are lit.
  const vertexShader = `
    varying vec3 vNormal; varying vec3 vView; varying vec2 vUv;
    void main() {
      vec4 p = modelViewMatrix * vec4(position, 1.0);
      vView = -p.xyz; vNormal = normalMatrix * normal; vUv = uv;
      gl_Position = projectionMatrix * p;
    }`;
  const fragmentShader = `
    uniform vec3 colour; uniform float alpha; uniform sampler2D map; uniform bool textured;
    varying vec3 vNormal; varying vec3 vView; varying vec2 vUv;
    void main() {
      float shade = 0.75;
      if (length(vNormal) > 1e-6) {
        vec3 n = normalize(vNormal);
        if (dot(n, vView) < 0.0) n = -n;
        shade = 0.35 + 0.65 * max(0.0, dot(n, vec3(-0.35, 0.75, 0.56)));
      }
      vec3 c = colour;
      if (textured) {
        vec4 t = texture2D(map, fract(vUv));  // repeat by hand: textures of any size clamp in WebGL 1
        if (t.a < 0.5) discard;  // a cut-out's holes
        c *= t.rgb;
      }
      gl_FragColor = vec4(clamp(c * shade, 0.0, 1.0), alpha);
    }`;

  const surfaces = new Map();  // record id -> { group, material, filling }
  let link = null;             // the last update's summary
  let linkCamera = null;       // { followed, eye, right, up, forward, fov } in three's frame
  let followChosen = false, userMoved = false, framed = false;
  let firstFrameAt = 0, frames = 0, bytes = 0;
  let drawQueued = false, showing = null;

  function now() { return performance.timeOrigin + performance.now(); }
  // When the page asked for the link: updates whose wake-up came before it
  // were read by velmar before the page could see them.
  let openedAt = now();
  // 1.5M, 364: the size of a scene as a person reads it.
  function triangleText(n) {
    if (n >= 1e6) return (n / 1e6).toFixed(1).replace(/\.0$/, '') + 'M';
    if (n >= 1e4) return (n / 1e3).toFixed(0) + 'k';
    return String(n);
  }

  function surface(key) {
    let s = surfaces.get(key);
    if (!s) {
      const material = new THREE.ShaderMaterial({
        vertexShader, fragmentShader, side: THREE.DoubleSide,
        uniforms: { colour: { value: new THREE.Color(0xaaaaaa) }, alpha: { value: 1 },
                    map: { value: null }, textured: { value: false } },
      });
      s = { group: new THREE.Group(), material, filling: null };
      scene.add(s.group);
      surfaces.set(key, s);
    }
    return s;
  }

  function drop(s) {
    scene.remove(s.group);
    for (const mesh of s.group.children) mesh.geometry.dispose();
    if (s.material.uniforms.map.value) s.material.uniforms.map.value.dispose();
    s.material.dispose();
  }

  function clear() {
    for (const s of surfaces.values()) drop(s);
    surfaces.clear();
    linkCamera = null;
    framed = false;
  }

  // The link's frame is left-handed (x east, y up, z north); three's is
  // right-handed: z is mirrored, in the message's own arrays. Triangles are
  // drawn from both sides, so their turning order does not matter.
  function mirror(data, first) {
    for (let k = (5 - (first % 3)) % 3; k < data.length; k += 3) data[k] = -data[k];
  }

  // The surface's mesh becomes this geometry (arrays already mirrored); the
  // old one goes in the same step, so nothing else in the view is touched.
  function install(s, position, normal, uv, index) {
    for (const mesh of s.group.children.slice()) { s.group.remove(mesh); mesh.geometry.dispose(); }
    if (!index || index.length === 0) return;
    const geometry = new THREE.BufferGeometry();
    // Once on the GPU the arrays are let go: one copy of the geometry. The
    // buffer just made is still bound then: kept for range frames.
    const release = (binding) => function () { this.array = null; this.buffer = gl.getParameter(binding); };
    const vertices = release(gl.ARRAY_BUFFER_BINDING);
    geometry.setAttribute('position', new THREE.BufferAttribute(position, 3).onUpload(vertices));
    geometry.setAttribute('normal', new THREE.BufferAttribute(normal, 3).onUpload(vertices));
    geometry.setAttribute('uv', new THREE.BufferAttribute(uv, 2).onUpload(vertices));
    geometry.setIndex(new THREE.BufferAttribute(index, 1).onUpload(release(gl.ELEMENT_ARRAY_BUFFER_BINDING)));
    geometry.computeBoundingSphere();
    const mesh = new THREE.Mesh(geometry, s.material);
    mesh.frustumCulled = false;  // range frames move vertices past the bounds computed here
    s.group.add(mesh);
  }

  function onGeometry(h, buffer) {
    const v = h.a, n = h.b, follow = (h.flags & ARRAYS_FOLLOW) !== 0;
    if (buffer.byteLength !== (follow ? 32 : 32 + 32 * v + 4 * n)) return bad('geometry', buffer.byteLength);
    const s = surface(h.key);
    s.filling = null;
    if (follow) {
      // The arrays come in range frames; the mesh once all of them are in.
      s.filling = { arrays: [new Float32Array(3 * v), new Float32Array(3 * v), new Float32Array(2 * v),
                             new Uint32Array(n)],
                    missing: 8 * v + n };
      return;
    }
    if (v === 0 || n === 0) return install(s, null, null, null, null);
    const position = new Float32Array(buffer, 32, 3 * v);
    const normal = new Float32Array(buffer, 32 + 12 * v, 3 * v);
    mirror(position, 0);
    mirror(normal, 0);
    install(s, position, normal, new Float32Array(buffer, 32 + 24 * v, 2 * v),
            new Uint32Array(buffer, 32 + 32 * v, n));
  }

  // Elements [first, first + count) of one array of a surface: into the
  // arrays of one still filling, else written into its GPU buffer where it
  // is already there (three's update ranges would need the array the page
  // let go), or into the array still waiting to be uploaded.
  function onRange(h, buffer) {
    const s = surfaces.get(h.key), first = h.b, count = h.c;
    const filling = s && s.filling;
    const mesh = s && s.group.children.length === 1 ? s.group.children[0] : null;
    const attribute = !filling && mesh && (h.a === 3 ? mesh.geometry.index : mesh.geometry.attributes[ARRAYS[h.a]]);
    const length = filling ? (h.a < 4 ? filling.arrays[h.a].length : 0)
                           : attribute ? attribute.count * attribute.itemSize : 0;
    if (buffer.byteLength !== 32 + 4 * count || first + count > length) return bad('range', buffer.byteLength);
    const data = h.a === 3 ? new Uint32Array(buffer, 32, count) : new Float32Array(buffer, 32, count);
    if (h.a < 2) mirror(data, first);
    if (filling) {
      filling.arrays[h.a].set(data, first);
      filling.missing -= count;
      if (filling.missing <= 0) {
        s.filling = null;
        install(s, ...filling.arrays);
      }
      return;
    }
    if (attribute.array) {
      attribute.array.set(data, first);
      attribute.needsUpdate = true;
      return;
    }
    const target = h.a === 3 ? gl.ELEMENT_ARRAY_BUFFER : gl.ARRAY_BUFFER;
    gl.bindBuffer(target, attribute.buffer);
    gl.bufferSubData(target, 4 * first, data);
  }

  function onMaterial(h, view, buffer) {
    const s = surface(h.key);
    const argb = h.a >>> 0, type = view.getInt32(20, true), opacity = view.getFloat32(24, true);
    s.name = text.decode(new Uint8Array(buffer, 32, Math.min(h.d, buffer.byteLength - 32)));
    s.material.uniforms.colour.value.setRGB(((argb >> 16) & 255) / 255, ((argb >> 8) & 255) / 255,
                                            (argb & 255) / 255);
    const glass = type === GLASS;
    s.material.transparent = glass;
    s.material.depthWrite = !glass;
    // As velmar's pictures: only glass is see-through, and never wholly.
    s.material.uniforms.alpha.value = glass ? Math.min(0.8, Math.max(0.2, isFinite(opacity) ? opacity : 0.5)) : 1;
    s.material.needsUpdate = true;
  }

  function onTexture(h, buffer) {
    const w = h.a, ht = h.b;
    if (buffer.byteLength !== 32 + 4 * w * ht) return bad('texture', buffer.byteLength);
    const s = surface(h.key);
    const uniforms = s.material.uniforms;
    if (uniforms.map.value) uniforms.map.value.dispose();
    uniforms.map.value = null;
    uniforms.textured.value = false;
    if (w > 0 && ht > 0) {
      const texture = new THREE.DataTexture(new Uint8Array(buffer, 32, 4 * w * ht), w, ht, THREE.RGBAFormat);
      texture.flipY = false;  // row 0 is the image's top, where v = 0
      texture.magFilter = texture.minFilter = THREE.LinearFilter;
      texture.generateMipmaps = false;
      texture.needsUpdate = true;
      uniforms.map.value = texture;
      uniforms.textured.value = true;
    }
  }

  function onCamera(h, view) {
    const f = (i) => view.getFloat32(32 + 4 * i, true);
    const turned = (i) => new THREE.Vector3(f(i), f(i + 1), -f(i + 2));
    linkCamera = { followed: h.a === 1, eye: turned(0), up: turned(6), forward: turned(9), fov: f(12) };
    if (linkCamera.followed && !followChosen) overlay.follow.checked = true;
  }

  // velmar's own camera for a scene whose camera is not followed: the
  // whole model from the front left, above (as its pictures frame it).
  function frameModel(bounds) {
    const min = new THREE.Vector3(bounds.min[0], bounds.min[1], -bounds.max[2]);
    const max = new THREE.Vector3(bounds.max[0], bounds.max[1], -bounds.min[2]);
    const centre = min.clone().add(max).multiplyScalar(0.5);
    const radius = Math.max(max.clone().sub(min).multiplyScalar(0.5).length(), 1e-3);
    const toEye = new THREE.Vector3(-0.55, 0.5, 0.67).normalize();
    const half = (22.5 * Math.PI) / 180;
    const horizontal = Math.atan(Math.tan(half) * camera.aspect);
    const distance = (1.08 * radius) / Math.sin(Math.min(half, horizontal));
    camera.fov = 45;
    camera.up.set(0, 1, 0);
    camera.position.copy(centre).addScaledVector(toEye, distance);
    controls.target.copy(centre);
    camera.lookAt(centre);
    camera.updateProjectionMatrix();
  }

  function placeCamera() {
    const c = linkCamera;
    if (c && c.followed && overlay.follow.checked) {
      camera.fov = c.fov >= 1 && c.fov <= 170 ? c.fov : 60;
      camera.position.copy(c.eye);
      camera.up.copy(c.up);
      const target = c.eye.clone().add(c.forward);
      camera.lookAt(target);
      controls.target.copy(target);
    } else if (link && link.bounds && !userMoved && !framed) {
      frameModel(link.bounds);
      framed = true;
    }
    camera.updateProjectionMatrix();
  }

  function onUpdate(json) {
    // Every frame of the update came before this one and went into the
    // buffers as it arrived: the update is applied now.
    const appliedAt = now();
    link = JSON.parse(json);
    root.dataset.state = 'linked';
    placeCamera();
    overlay.link.textContent = 'link ' + link.link;
    overlay.counts.textContent = link.surfaces + ' surfaces, ' + link.triangles + ' triangles';
    overlay.fit.disabled = !link.bounds;
    showing = { update: link.update, wakeAt: link.wakeAt, readAt: link.readAt, firstFrameAt, appliedAt, frames,
                bytes, whole: link.whole, triangles: link.triangles, surfaces: link.surfaces };
    firstFrameAt = 0;
    frames = bytes = 0;
    draw();
  }

  function onEnded(json) {
    const ended = JSON.parse(json);
    clear();
    link = null;
    root.dataset.state = 'ended';
    overlay.link.textContent = 'link ' + ended.link + ' ended: ' + ended.reason;
    overlay.counts.textContent = '';
    draw();
  }

  function bad(what, size) {
    console.warn('velmar live: a ' + what + ' frame of ' + size + ' bytes does not match its counts');
  }

  function onFrame(buffer) {
    if (buffer.byteLength < 32) return bad('short', buffer.byteLength);
    const view = new DataView(buffer);
    if (view.getUint32(0, true) !== 0x31464c56) return bad('foreign', buffer.byteLength);
    const h = { kind: view.getUint16(4, true), flags: view.getUint16(6, true), key: view.getUint32(8, true),
                update: view.getUint32(12, true),
                a: view.getUint32(16, true), b: view.getUint32(20, true), c: view.getUint32(24, true),
                d: view.getUint32(28, true) };
    if (!firstFrameAt) firstFrameAt = now();
    frames += 1;
    bytes += buffer.byteLength;
    const json = () => text.decode(new Uint8Array(buffer, 32, Math.min(h.a, buffer.byteLength - 32)));
    switch (h.kind) {
      case KIND.update: return onUpdate(json());
      case KIND.material: return onMaterial(h, view, buffer);
      case KIND.geometry: return onGeometry(h, buffer);
      case KIND.range: return onRange(h, buffer);
      case KIND.texture: return onTexture(h, buffer);
      case KIND.remove: {
        const s = surfaces.get(h.key);
        if (s) { drop(s); surfaces.delete(h.key); }
        return;
      }
      case KIND.camera: return onCamera(h, view);
      case KIND.ended: return onEnded(json());
    }
  }

  function draw() {
    if (drawQueued) return;
    drawQueued = true;
    requestAnimationFrame(() => {
      drawQueued = false;
      const shown = showing;
      showing = null;
      renderer.render(scene, camera);
      if (!shown) return;
      // Drawn once the frame is finished, not when its commands were
      // queued: with software WebGL the drawing itself is most of the time.
      gl.finish();
      const drawnAt = now();
      // The next frame of the page is the one that shows the update.
      requestAnimationFrame(() => {
        const shownAt = now();
        if (shown.wakeAt && shown.wakeAt >= openedAt) {
          const after = (t) => (t - shown.wakeAt).toFixed(0);
          overlay.last.textContent = 'updated ' + new Date(shown.wakeAt).toLocaleTimeString() + ': applied ' +
            after(shown.appliedAt) + ' ms, drawn ' + after(drawnAt) + ' ms after velmar woke';
        } else if (shown.wakeAt) {
          // An update velmar read before this page was open: the time since
          // that wake-up says nothing about the page; the time it took the
          // page to load the scene, from its start, does.
          overlay.last.textContent = 'loaded ' + triangleText(shown.triangles) + ' triangles in ' +
            (shownAt - performance.timeOrigin).toFixed(0) + ' ms';
        }
        root.dataset.shown = String(shown.update);
        if (socket.readyState === WebSocket.OPEN)
          socket.send(JSON.stringify(Object.assign({ kind: 'shown', drawnAt, shownAt, openedAt }, shown)));
      });
    });
  }

  const socket = new WebSocket('ws://' + location.host + '/live');
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => { openedAt = now(); };
  socket.onmessage = (event) => { if (event.data instanceof ArrayBuffer) onFrame(event.data); };
  socket.onclose = () => {
    root.dataset.state = 'closed';
    overlay.link.textContent = 'velmar is gone: reload the page when it runs again';
  };
  root.dataset.state = 'waiting';
  draw();
})();
