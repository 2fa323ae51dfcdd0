/* The page side of the native bridge.
 *   webhost.exec(success, fail, service, action, args)
 *   webhost.require('webhost/exec').nativeCallback / nativeEvalAndFetch   (called by native code)
 *   webhost.require('webhost/channel').onNativeReady                       (fired by native code)
 *   webhost.fireDocumentEvent('pause' | 'resume' | 'active' | 'resign')
 *   document event "deviceready", also for listeners added after it fired.
 */
(function (global) {
  'use strict';
  if (global.webhost) return;

  var modules = {};
  function define(name, factory) { modules[name] = { factory: factory, value: undefined, done: false }; }
  function require(name) {
    var m = modules[name];
    if (!m) throw new Error('module ' + name + ' not found');
    if (!m.done) { m.done = true; m.value = m.factory(require); }
    return m.value;
  }

  define('webhost/channel', function () {
    // A channel calls its subscribers on fire(); a sticky channel, once fired, calls later ones at once.
    function Channel(name, sticky) { this.name = name; this.sticky = !!sticky; this.fired = false; this.args = []; this.subs = []; }
    Channel.prototype.subscribe = function (f) {
      if (typeof f !== 'function') return;
      if (this.sticky && this.fired) { f.apply(null, this.args); return; }
      this.subs.push(f);
    };
    Channel.prototype.unsubscribe = function (f) { this.subs = this.subs.filter(function (s) { return s !== f; }); };
    Channel.prototype.fire = function () {
      var args = Array.prototype.slice.call(arguments);
      if (this.sticky) { if (this.fired) return; this.fired = true; this.args = args; }
      var subs = this.subs.slice();
      if (this.sticky) this.subs = [];
      for (var i = 0; i < subs.length; i++) {
        try { subs[i].apply(null, args); } catch (e) { setTimeout(function () { throw e; }, 0); }
      }
    };
    function join(f, channels) {
      var left = channels.length;
      if (!left) { f(); return; }
      channels.forEach(function (c) { c.subscribe(function () { if (--left === 0) f(); }); });
    }
    return {
      create: function (name) { return new Channel(name, false); },
      createSticky: function (name) { return new Channel(name, true); },
      join: join,
      onDOMContentLoaded: new Channel('onDOMContentLoaded', true),
      onNativeReady: new Channel('onNativeReady', true),
      onDeviceReady: new Channel('onDeviceReady', true)
    };
  });

  define('webhost/base64', function () {
    return {
      fromArrayBuffer: function (buffer) {
        var bytes = new Uint8Array(buffer), chunks = [], CH = 0x8000;
        if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
        for (var i = 0; i < bytes.length; i += CH) chunks.push(String.fromCharCode.apply(null, bytes.subarray(i, i + CH)));
        return btoa(chunks.join(''));
      },
      toArrayBuffer: function (text) {
        if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text).buffer;
        var bin = atob(text), out = new Uint8Array(bin.length);
        for (var i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
        return out.buffer;
      }
    };
  });

  define('webhost/exec', function (require) {
    var base64 = require('webhost/base64');
    var callbacks = new Map();
    var nextId = Math.floor(Math.random() * 2000000000);

    function encodeArg(a) {
      if (a instanceof ArrayBuffer) return { WHType: 'ArrayBuffer', data: base64.fromArrayBuffer(a) };
      if (ArrayBuffer.isView(a)) return { WHType: 'ArrayBuffer', data: base64.fromArrayBuffer(a.buffer.slice(a.byteOffset, a.byteOffset + a.byteLength)) };
      return a;
    }
    function decodeMessage(m) {
      if (m && typeof m === 'object') {
        if (m.WHType === 'ArrayBuffer') return base64.toArrayBuffer(m.data || '');
        if (m.WHType === 'MultiPart') return (m.messages || []).map(decodeMessage);
      }
      return m;
    }

    function exec(success, fail, service, action, args) {
      args = args || [];
      var callbackId = service + (nextId++);
      if (success || fail) callbacks.set(callbackId, { success: success, fail: fail });
      global.webhostbridge.exec(callbackId, service, action, args.map(encodeArg));
      return callbackId;
    }

    exec.nativeCallback = function (callbackId, status, message, keep) {
      var cb = callbacks.get(callbackId);
      if (!cb) return;
      var value = decodeMessage(message);
      try {
        if (status === 1 || status === 0) { if (cb.success) cb.success(value); }
        else if (cb.fail) cb.fail(value);
      } finally {
        if (!keep) callbacks.delete(callbackId);
      }
    };
    exec.nativeEvalAndFetch = function (f) { f(); };
    exec.pending = function () { return callbacks.size; };
    return exec;
  });

  var channel = require('webhost/channel');

  // "deviceready" reaches listeners added after it fired.
  var docAdd = document.addEventListener.bind(document);
  var deviceReadyFired = false;
  document.addEventListener = function (type, listener, options) {
    if (type === 'deviceready' && deviceReadyFired) {
      setTimeout(function () {
        var e = new Event('deviceready');
        if (typeof listener === 'function') listener.call(document, e);
        else if (listener && typeof listener.handleEvent === 'function') listener.handleEvent(e);
      }, 0);
      return;
    }
    return docAdd(type, listener, options);
  };

  function fireDocumentEvent(name, data) {
    var e = new Event(name);
    if (data) for (var k in data) if (Object.prototype.hasOwnProperty.call(data, k)) e[k] = data[k];
    document.dispatchEvent(e);
  }

  if (document.readyState === 'complete' || document.readyState === 'interactive') {
    channel.onDOMContentLoaded.fire();
  } else {
    docAdd('DOMContentLoaded', function () { channel.onDOMContentLoaded.fire(); });
  }
  // Native code fires onNativeReady after the frame's load; when it came first, the flag says so.
  if (global._nativeReady) channel.onNativeReady.fire();
  channel.join(function () {
    deviceReadyFired = true;
    channel.onDeviceReady.fire();
    fireDocumentEvent('deviceready');
  }, [channel.onDOMContentLoaded, channel.onNativeReady]);

  global.webhost = {
    define: define,
    require: require,
    exec: require('webhost/exec'),
    fireDocumentEvent: fireDocumentEvent,
    version: '4.0.0'
  };
})(window);
