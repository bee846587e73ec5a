<?php
// The WebSocket application "live": one process shared by every open notes
// page (a global application). A text sent to it becomes a note, which goes
// to every page at once.

declare(strict_types=1);

return function (VexaRequest $req, VexaReply $reply): void {
    if (!VexaWsApp::isWebSocket($req)) {
        $reply->send('<!DOCTYPE html><p>"live" is a WebSocket application.</p>');
        return;
    }
    $app = new VexaWsApp($req);
    $online = [];
    $tellAll = function (array $data) use ($app): void {
        // Type 1: every member of the global application "live"; conid 0 leaves nobody out.
        $app->send(VexaWsApp::ipc([VexaWsApp::sendall(1, 'live', 0, json_encode($data))]));
    };
    $onMessage = function (array $message) use ($app, $tellAll, &$online): bool {
        $from = (int) $message['bdata']['wcon']['conid'];
        if (($message['bdata']['wconn'] ?? '') === 'n') {  // this connection's first message
            $online[$from] = true;
            $tellAll(['online' => count($online)]);
        }
        $text = trim((string) ($message['bdata']['text'] ?? ''));
        if ($text !== '') {
            $note = notes_add((string) ($message['bdata']['author'] ?? ''), $text);
            $tellAll(['note' => $note]);
            // Type 3: connection $from only.
            $app->send(VexaWsApp::ipc([VexaWsApp::sendall(3, 'live', $from, json_encode(['saved' => $note['id']]))]));
        }
        return true;
    };
    $onEvent = function (array $event) use ($tellAll, &$online): bool {
        if ($event['evt'] === 'wsdiscon') {  // a member's connection closed
            unset($online[(int) $event['bdata']['wcon']['conid']]);
            $tellAll(['online' => count($online)]);
        }
        return $event['evt'] !== 'quit';
    };

    // Become the one shared process: from now on every connection's "live"
    // messages come to this process.
    $app->send(VexaWsApp::ipc([['aname' => 'setglobal', 'data' => new stdClass()]]));
    $onMessage($app->first);  // the message that started the application
    $app->run($onMessage, $onEvent);
};
