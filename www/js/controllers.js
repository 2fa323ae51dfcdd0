/* Controller records (HubstationInfoStore) and the quick actions of one controller (QuickActions). */
(function () {
  'use strict';
  var $ = function (id) { return document.getElementById(id); };
  var note = window.kivanoApp ? window.kivanoApp.note : function () {};
  var others = [];   // stored quick actions of other controllers, kept as they are
  var stored = null; // the record read last, for the keys the form does not show

  function state(id, text, ok) {
    var el = $(id);
    el.textContent = text;
    el.className = 'state' + (ok ? ' ready' : '');
  }
  function serial() { return $('hs-mac').value.trim(); }
  function newUUID() {
    if (window.crypto && crypto.randomUUID) return crypto.randomUUID().toUpperCase();
    return 'xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx'.replace(/[xy]/g, function (c) {
      var r = Math.random() * 16 | 0;
      return (c === 'x' ? r : (r & 3 | 8)).toString(16).toUpperCase();
    });
  }

  function fillForm(record) {
    stored = record || null;
    $('hs-local').value = (record && record.localUrl) || '';
    $('hs-remote').value = (record && record.remoteUrl) || '';
    $('hs-user').value = (record && record.username) || '';
    $('hs-password').value = (record && record.password) || '';
  }

  function readRecord(done) {
    if (!serial()) return state('hs-state', 'Enter the serial number first.');
    webhost.exec(function (record) {
      fillForm(record);
      state('hs-state', record ? 'Record read.' : 'No record stored for ' + serial() + '.', !!record);
      if (done) done(record);
    }, function () { state('hs-state', 'Reading failed.'); }, 'HubstationInfoStore', 'read', [serial()]);
  }

  function storeRecord() {
    if (!serial() || !$('hs-user').value) return state('hs-state', 'Serial number and user name are needed.');
    var record = {
      mac: serial(),
      username: $('hs-user').value,
      password: $('hs-password').value,
      // Not shown in the form: keep what is stored.
      publicKey: (stored && stored.mac === serial() && stored.publicKey) || '',
      configVersion: (stored && stored.mac === serial() && stored.configVersion) || ''
    };
    if ($('hs-local').value.trim()) record.localUrl = $('hs-local').value.trim();
    if ($('hs-remote').value.trim()) record.remoteUrl = $('hs-remote').value.trim();
    webhost.exec(function () {
      state('hs-state', 'Controller ' + record.mac + ' stored.', true);
      note('controller stored: ' + record.mac);
      stored = record;
    }, function () { state('hs-state', 'The keyring refused the record (locked or not reachable).'); },
    'HubstationInfoStore', 'update', [record]);
  }

  function clearRecord() {
    if (!serial()) return state('hs-state', 'Enter the serial number first.');
    webhost.exec(function () {
      fillForm(null);
      state('hs-state', 'Record of ' + serial() + ' removed.', true);
    }, function () { state('hs-state', 'Removing failed.'); }, 'HubstationInfoStore', 'clear', [serial()]);
  }

  // One editable row per quick action; commands one per line.
  function addRow(item) {
    var li = document.createElement('li');
    li.dataset.uuid = item.uuid || newUUID();
    li.dataset.kind = item.cmds ? 'command' : 'location';
    var title = document.createElement('input');
    title.placeholder = 'Title';
    title.value = item.title || '';
    title.className = 'qa-title';
    var remove = document.createElement('button');
    remove.type = 'button';
    remove.textContent = 'Remove';
    remove.addEventListener('click', function () { li.remove(); });
    var subtitle = document.createElement('input');
    subtitle.placeholder = 'Subtitle';
    subtitle.value = item.subtitle || '';
    subtitle.className = 'qa-subtitle';
    var body;
    if (li.dataset.kind === 'command') {
      body = document.createElement('textarea');
      body.placeholder = 'Command paths, one a line';
      body.value = (item.cmds || []).join('\n');
    } else {
      body = document.createElement('input');
      body.placeholder = 'Location (kivano://?loc=...)';
      body.value = item.url || '';
    }
    body.className = 'qa-body';
    [title, remove, subtitle, document.createElement('span'), body].forEach(function (el) { li.appendChild(el); });
    $('qa-list').appendChild(li);
  }

  function loadQuickActions() {
    webhost.exec(function (items) {
      $('qa-list').textContent = '';
      others = [];
      (items || []).forEach(function (item) {
        if (item.serialNumber === serial()) addRow(item); else others.push(item);
      });
      state('qa-state', $('qa-list').children.length + ' quick actions of this controller, ' +
        others.length + ' of others.', true);
    }, function () { state('qa-state', 'Loading failed.'); }, 'QuickActions', 'getItems', []);
  }

  function saveQuickActions() {
    if (!serial()) return state('qa-state', 'Enter the serial number first.');
    var mine = Array.prototype.map.call($('qa-list').children, function (li) {
      var item = { uuid: li.dataset.uuid, title: li.querySelector('.qa-title').value, serialNumber: serial() };
      var subtitle = li.querySelector('.qa-subtitle').value;
      if (subtitle) item.subtitle = subtitle;
      var body = li.querySelector('.qa-body').value;
      if (li.dataset.kind === 'command') {
        item.cmds = body.split('\n').map(function (s) { return s.trim(); }).filter(function (s) { return s; });
      } else {
        item.url = body.trim();
      }
      return item;
    });
    // The stored list is replaced as a whole: take the other controllers' entries as stored now.
    webhost.exec(function (items) {
      others = (items || []).filter(function (item) { return item.serialNumber !== serial(); });
      webhost.exec(function () {
        state('qa-state', 'Saved ' + mine.length + ' quick actions.', true);
        note('quick actions saved');
      }, function () { state('qa-state', 'Saving failed.'); }, 'QuickActions', 'setItems', [others.concat(mine)]);
    }, function () { state('qa-state', 'Saving failed.'); }, 'QuickActions', 'getItems', []);
  }

  $('controller-form').addEventListener('submit', function (e) { e.preventDefault(); storeRecord(); });
  $('hs-read').addEventListener('click', function () { readRecord(loadQuickActions); });
  $('hs-clear').addEventListener('click', clearRecord);
  $('qa-add-command').addEventListener('click', function () { addRow({ cmds: [] }); });
  $('qa-add-location').addEventListener('click', function () { addRow({}); });
  $('qa-load').addEventListener('click', loadQuickActions);
  $('qa-save').addEventListener('click', saveQuickActions);
  window.kivanoControllers = { readRecord: readRecord, storeRecord: storeRecord, loadQuickActions: loadQuickActions,
    saveQuickActions: saveQuickActions, addRow: addRow };
})();
