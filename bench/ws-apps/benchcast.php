<?php
// Benchmark application "benchcast": global at once; a message with
// "bdata.go" is sent to every member ("sendall" type 1), others only join.

require_once __DIR__ . '/../lib/vexaws.php';

return function (VexaRequest $req, VexaReply $reply): void {
    $app = new VexaWsApp($req);
    $app->send(VexaWsApp::ipc([['aname' => 'setglobal', 'data' => new stdClass()]]),
               VexaWsApp::web(['ready' => true]));
    $app->run(function (array $message) use ($app): bool {
        $go = $message['bdata']['go'] ?? null;
        if ($go !== null) {
            $app->send(VexaWsApp::ipc([VexaWsApp::sendall(1, 'benchcast', 0, (string) $go)]));
        }
        return true;
    });
};
